#include "sandbox.hpp"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "kit/board_files.hpp"
#include "sim_system.hpp"

namespace tune::blackbox {

namespace fs = std::filesystem;

namespace {

// Whether the memory file system at `dir` can hold sandboxes: room for a few hundred of
// them, programs allowed to run from it, and user attributes (the sweeps give the miner's
// files some).
bool can_hold_sandboxes(const char* dir) {
  struct statfs kind {};
  struct statvfs room {};
  if (statfs(dir, &kind) != 0 || kind.f_type != TMPFS_MAGIC || statvfs(dir, &room) != 0 ||
      (room.f_flag & ST_NOEXEC) != 0 ||
      static_cast<unsigned long long>(room.f_bavail) * room.f_frsize < (1ULL << 30)) {
    return false;
  }
  std::string probe = std::string(dir) + "/tune-blackbox-probe-XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) return false;
  const bool takes = fsetxattr(fd, "user.probe", "1", 1, 0) == 0;
  close(fd);
  unlink(probe.c_str());
  return takes;
}

// Where sandboxes are made. The programs sync every write; on a disk those syncs were half
// the suite's time, and nothing a test checks depends on the data reaching the disk (a cut
// here is a kill). So /dev/shm when it can hold them, unless TMPDIR says where.
const fs::path& sandbox_parent() {
  static const fs::path parent = std::getenv("TMPDIR") == nullptr && can_hold_sandboxes("/dev/shm")
                                     ? fs::path("/dev/shm")
                                     : fs::temp_directory_path();
  return parent;
}

}  // namespace

Sandbox::Sandbox(bool on_disk)
    : dir_(on_disk ? fs::temp_directory_path().string() : sandbox_parent().string()) {
  for (const char* dir : {"tmp", "sim/bin", "sim/lib"}) fs::create_directories(root_ + "/" + dir);
  fs::copy_file(BMMINER_API_PATH, root_ + "/sim/bin/bmminer-api");
  fs::copy_file(DENY_SYSCALLS_PATH, root_ + "/sim/bin/deny-syscalls");
  fs::copy_file(VIRTUAL_TIME_PATH, root_ + "/sim/lib/libvirtual-time.so");
  testing::Files files = testing::ready_board("\n");
  files["sim/clock"] = "0\n";
  files["sim/miner.conf"] = "model=seeded\nseed=1\n";
  files["finish-tune.sh"] = "#!/bin/sh\necho ran > /tmp/finish-ran\nexit 3\n";
  testing::write_files(root_, files);
}

Sandbox::~Sandbox() {
  const char* keep = std::getenv("TUNE_FOOTPRINT_DIR");
  if (keep != nullptr) {
    for (const char* name :
         {"peak-rss.chain-tuner", "peak-rss.yellow-fixer", "peak-rss.tune-session"}) {
      if (exists(std::string("sim/") + name)) {
        fs::copy_file(root_ + "/sim/" + name, std::string(keep) + "/" + name,
                      fs::copy_options::overwrite_existing);
      }
    }
  }
}

void Sandbox::write(const std::string& path, const std::string& text) {
  testing::spit(root_ + "/" + path, text);
}

std::optional<std::string> Sandbox::read(const std::string& path) const {
  if (!std::ifstream(root_ + "/" + path)) return std::nullopt;
  return testing::slurp(root_ + "/" + path);
}

bool Sandbox::exists(const std::string& path) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(root_ + "/" + path, ignored));
}

void Sandbox::remove(const std::string& path) {
  std::error_code ignored;
  fs::remove_all(root_ + "/" + path, ignored);
}

void Sandbox::make_dir(const std::string& path) {
  fs::create_directories(root_ + "/" + path);
}

Outcome Sandbox::run(const std::string& program, const RunOptions& options) {
  // The three programs lie side by side in /opt/tune, as tune-session expects them; another
  // build of the program under test (the static armhf one, say) takes its place.
  const std::pair<std::string, std::string> programs[] = {{"chain-tuner", CHAIN_TUNER_PATH},
                                                          {"yellow-fixer", YELLOW_FIXER_PATH},
                                                          {"tune-session", TUNE_SESSION_PATH}};
  std::vector<std::string> argv = {
      "bwrap", "--ro-bind", "/usr", "/usr", "--symlink", "usr/bin", "/bin", "--symlink", "usr/lib",
      "/lib", "--symlink", "usr/lib64", "/lib64", "--ro-bind", "/etc", "/etc", "--dir", "/sbin",
      "--bind", root_ + "/tmp", "/tmp", "--bind", root_ + "/sim", "/sim", "--ro-bind-try",
      root_ + "/finish-tune.sh", "/sbin/finish-tune.sh", "--dev", "/dev", "--proc", "/proc",
      "--unshare-all", "--die-with-parent", "--clearenv", "--setenv", "PATH",
      "/sim/bin:/opt/tune:/usr/bin:/bin", "--setenv", "LD_PRELOAD", "/sim/lib/libvirtual-time.so",
      // Sanitized builds: the preload comes first, and leaks are valgrind's to find here.
      "--setenv", "ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"};
  for (const auto& [name, path] : programs) {
    const std::string& binary = name == program && !options.binary.empty() ? options.binary : path;
    argv.insert(argv.end(), {"--ro-bind", binary, "/opt/tune/" + name});
  }
  for (const auto& [name, value] : options.env) {
    argv.insert(argv.end(), {"--setenv", name, value});
  }
  if (options.full_config_bytes > 0) {
    argv.insert(argv.end(), {"--bind", root_ + "/config", "/config-outside", "--size",
                             std::to_string(options.full_config_bytes), "--tmpfs", "/config"});
  } else if (fs::exists(root_ + "/config")) {  // a test may take /config away
    argv.insert(argv.end(), {"--bind", root_ + "/config", "/config"});
  }
  for (const auto& [outside, inside] : options.binds) {
    argv.insert(argv.end(), {"--bind", root_ + "/" + outside, inside});
  }
  argv.push_back("--");
  if (options.full_config_bytes > 0) {
    // Seed the small file system, fill it (but for a reserve given back before the run),
    // run the program, and hand the files back.
    const std::string reserve = std::to_string(options.free_config_bytes);
    argv.insert(argv.end(), {"/bin/sh", "-c",
                             "cp -a /config-outside/. /config/ && "
                             "head -c " +
                                 reserve +
                                 " /dev/zero > /config/.reserve && "
                                 "{ cat /dev/zero > /config/.filler 2>/dev/null; true; } && "
                                 "rm /config/.reserve && "
                                 "\"$@\"; status=$?; rm -f /config/.filler; "
                                 "rm -rf /config-outside/* /config-outside/.[!.]* && "
                                 "cp -a /config/. /config-outside/; exit $status",
                             "sh"});
  }
  if (options.deny != Deny::nothing) {
    const char* what = options.deny == Deny::spawn  ? "spawn"
                       : options.deny == Deny::pipe ? "pipe"
                                                    : "wait";
    argv.insert(argv.end(), {"/sim/bin/deny-syscalls", what});
  }
  if (options.valgrind) {
    argv.insert(argv.end(), {"/usr/bin/valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
                             "--show-leak-kinds=all", "--errors-for-leak-kinds=all"});
  }
  if (!options.launcher.empty()) argv.push_back(options.launcher);
  argv.push_back(program == "sh" ? "/bin/sh" : "/opt/tune/" + program);
  argv.insert(argv.end(), options.args.begin(), options.args.end());

  return testing::run_process(argv);
}

std::vector<std::string> Sandbox::log(const std::string& path) const {
  std::vector<std::string> entries;
  std::string text = read(path).value_or("");
  EXPECT_TRUE(sim::split_log_entries(text, entries)) << text;
  return entries;
}

std::map<std::string, std::string> saved_files_in(const Sandbox& s, const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const char* name : {"config.conf", "manual_freqs.txt", "autoTune.conf"}) {
    files[name] = s.text(dir + name);
  }
  return files;
}

std::map<std::string, std::string> state_of(const Sandbox& s) {
  return testing::fields_of(s.text("config/tune-session.state"));
}

}  // namespace tune::blackbox
