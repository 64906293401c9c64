// A board in a directory, and the built programs run in it unchanged inside a bwrap
// sandbox: /config, /tmp and /sbin/finish-tune.sh are the test's own, the rest of the
// system is read-only, PATH leads to the stand-in bmminer-api, and sleeps take no time.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kit/process.hpp"
#include "kit/temp_dir.hpp"

namespace tune::blackbox {

using testing::Outcome;

// What the program is started without: process creation, pipes, or waiting for its
// children (SIGCHLD ignored by the parent that started it).
enum class Deny { nothing, spawn, pipe, wait };

struct RunOptions {
  std::vector<std::string> args;
  std::vector<std::pair<std::string, std::string>> env;
  Deny deny = Deny::nothing;
  bool valgrind = false;
  // When set, /config is a tmpfs of this many bytes, seeded from the sandbox's config/ and
  // filled to the last byte before the program starts; config/ gets its content back after.
  long full_config_bytes = 0;
  // With full_config_bytes: this many bytes (in whole pages) left free when it is filled.
  long free_config_bytes = 0;
  // Files of the sandbox bound over paths inside it: {"outside/config.conf",
  // "/config/config.conf"} makes the miner's file a mount point, as some firmwares do.
  std::vector<std::pair<std::string, std::string>> binds;
  // Another build of the program (for example the static armhf one) and what runs it
  // ("qemu-arm"); empty: the build under test, run directly.
  std::string binary;
  std::string launcher;
};

class Sandbox {
 public:
  // A ready board: bmminer.conf, an empty settings line, all twelve chain lines at 650 MHz
  // and 910, a finishing script that leaves /tmp/finish-ran and fails (removed, the board
  // has none), the seeded miner.
  // `on_disk`: in the temporary directory rather than /dev/shm (see sandbox_parent), for a
  // case that needs what a disk's file system gives (64-bit directory offsets).
  explicit Sandbox(bool on_disk = false);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Paths relative to the sandbox: "config/config.conf", "tmp/auto-tune", "sim/miner.conf".
  void write(const std::string& path, const std::string& text);
  std::optional<std::string> read(const std::string& path) const;
  std::string text(const std::string& path) const { return read(path).value_or("<missing>"); }
  bool exists(const std::string& path) const;
  void remove(const std::string& path);
  void make_dir(const std::string& path);

  // Runs "chain-tuner", "yellow-fixer", "tune-session" (all three lie in /opt/tune, which is
  // on PATH) or "sh" (the shell, for a script in the arguments) and waits for it.
  Outcome run(const std::string& program, const RunOptions& options = {});

  // Log entries without their stamps; fails the test when a stamp is malformed.
  std::vector<std::string> log(const std::string& path = "tmp/auto-tune") const;
  const std::string& root() const { return root_; }

 private:
  testing::TempDir dir_;
  std::string root_ = dir_.path();
};

// The miner's files that tune-session saves, as they stand in a directory of the sandbox
// ("config/", "config/tune-backup/original/"); "<missing>" for one that is not there.
std::map<std::string, std::string> saved_files_in(const Sandbox& s, const std::string& dir);

// tune-session's state, key by key.
std::map<std::string, std::string> state_of(const Sandbox& s);

}  // namespace tune::blackbox
