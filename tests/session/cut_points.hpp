// Power cuts in-process: this test program's own open, write, fsync, rename, unlink, ...
// stand in front of the C library's, and count every write-family call made on the board's
// /config, whoever makes it (the session or a program it runs in-process). Armed in a forked
// child, the power goes just before the chosen call: the child ends at once, with no
// destructor run and no buffer flushed, and the files are as a cut leaves them. In the
// parent the calls are only counted, and every content a file is given is recorded.
#pragma once

#include <map>
#include <set>
#include <string>

namespace tune::cut {

inline constexpr int cut_status = 137;  // how a cut child ends, as after SIGKILL

struct Plan {
  std::string config;  // the board's /config as a real path; empty: nothing is counted
  long calls = 0;      // write-family calls on it so far
  long cut_at = 0;     // the call before which the power goes; 0: none
  // When set: every content a file under /config is given (by a rename onto it, or by the
  // close of a descriptor written in place), by the file's path within /config.
  std::map<std::string, std::set<std::string>>* versions = nullptr;
};

// The one plan of this process.
Plan& plan();

}  // namespace tune::cut
