// Power cuts and failing calls in-process: this test program's own open, write, fsync,
// rename, unlink, ... stand in front of the C library's, and count every write-family call
// made on the board's /config, whoever makes it (the session or a program it runs
// in-process). Armed in a forked child, the power goes just before the chosen call: the
// child ends at once, with no destructor run and no buffer flushed, and the files are as a
// cut leaves them. Or the chosen call fails (see write_faults.h) and the run goes on. In
// every case every content a file is given can be recorded.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tune::cut {

inline constexpr int cut_status = 137;  // how a cut child ends, as after SIGKILL

struct Plan {
  std::string config;  // the board's /config as a real path; empty: nothing is counted
  long calls = 0;      // write-family calls on it so far
  long cut_at = 0;     // the call before which the power goes; 0: none
  // When set: every content a file under /config is given (by a rename onto it, or by the
  // close of a descriptor written in place), by the file's path within /config. What a
  // failed call was making is not among them: a file that holds it is torn.
  std::map<std::string, std::set<std::string>>* versions = nullptr;
  // The call that fails instead (0: none), and how: an errno, or SHORT_WRITE.
  long fail_at = 0;
  int fault = 0;
  // The disk stays full or failing from that call on (ENOSPC, EDQUOT, EIO): every later
  // call it would fail fails too (see fails_on_lasting_fault).
  bool lasting = false;
  // Whether the close of a descriptor written on /config is a call counted (the error sweeps
  // fail it; a cut before it is one after the write before it).
  bool count_closes = false;
  // When set: the name of each call counted ("open", "write", ...), in order.
  std::vector<std::string>* names = nullptr;
  // The paths whose content a failed call was making, until they are opened afresh.
  std::set<std::string> tainted;
};

// The one plan of this process.
Plan& plan();

// While one lives, no call is counted: the board's own (its finishing script, say).
class Uncounted {
 public:
  Uncounted() : config_(plan().config) { plan().config.clear(); }
  ~Uncounted() { plan().config = config_; }
  Uncounted(const Uncounted&) = delete;
  Uncounted& operator=(const Uncounted&) = delete;

 private:
  std::string config_;
};

// Resets the plan to count the calls on `config` (empty: none), and returns it to fill in.
Plan& count_on(const std::string& config);

}  // namespace tune::cut
