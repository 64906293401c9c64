#include "files.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "harness.hpp"
#include "log.hpp"
#include "posix_system.hpp"

namespace tune {
namespace {

namespace fs = std::filesystem;
using testing::Entries;
using testing::SimMachine;

TEST(ReadWholeFile, ReturnsEveryByte) {
  SimMachine m;
  m.sys.write_file("/config/empty", "");
  EXPECT_EQ(read_whole_file(m.sys, "/config/empty"), "");
  std::string binary("a\0b\nc", 5);
  m.sys.write_file("/config/data", binary);
  EXPECT_EQ(read_whole_file(m.sys, "/config/data"), binary);
}

TEST(ReadWholeFile, UnreadableOrUnsizablePathsAreFatal) {
  for (bool as_directory : {false, true}) {
    SimMachine m;
    if (as_directory) fs::create_directory(m.sys.path("/config/bmminer.conf"));
    sim::RunResult result = m.run([&] { read_whole_file(m.sys, "/config/bmminer.conf"); });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(m.log(), (Entries{"Can't read /config/bmminer.conf\n"}));
  }
}

// Runs the replace in a child process, as the unprivileged user "nobody" when asked (root
// passes every permission check) and with a limit on the size of the files it may write.
bool replace_in_child(const std::string& path, const std::string& text, bool as_nobody,
                      rlim_t file_size_limit) {
  pid_t child = fork();
  if (child == 0) {
    if (as_nobody && getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
    if (file_size_limit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
      struct rlimit limit = {file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    PosixSystem board;  // the real durable replace, syncs and all
    _exit(replace_file(board, path, text) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2) << "child could not start";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(ReplaceFile, LeavesTheOldOrTheNewContentAndTheFileAsItWas) {
  const struct Case {
    const char* name;
    std::function<void(const fs::path& dir)> arrange;  // config/ and data/ beside it
    bool stored;
    const char* content;  // of config/config.conf afterwards
    bool as_nobody = false;
    rlim_t file_size_limit = RLIM_INFINITY;
  } cases[] = {
      {"a plain file keeps its mode",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::permissions(d / "config/config.conf", fs::perms(0640));
       },
       true, "new"},
      {"no file yet", [](const fs::path&) {}, true, "new"},
      {"a link to another partition stays a link",
       [](const fs::path& d) {
         std::ofstream(d / "data/config.conf") << "old content\n";
         fs::create_symlink("../data/config.conf", d / "config/config.conf");
       },
       true, "new"},
      {"a leftover temporary file is replaced",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         std::ofstream(d / "config/.config.conf.tune-new") << "torn";
       },
       true, "new"},
      {"a leftover temporary link is not followed",
       [](const fs::path& d) {
         std::ofstream(d / "data/keep") << "keep";
         fs::create_symlink("../data/keep", d / "config/.config.conf.tune-new");
       },
       true, "new"},
      {"a hard-linked file is rewritten in place, for every name",
       [](const fs::path& d) {
         std::ofstream(d / "data/alias") << "old content\n";
         fs::create_hard_link(d / "data/alias", d / "config/config.conf");
       },
       true, "new"},
      {"a read-only directory holding a writable file is written in place",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::permissions(d / "config/config.conf", fs::perms(0666));
         fs::permissions(d / "config", fs::perms(0555));
       },
       true, "new", true},
      {"a failed write keeps the old content",
       [](const fs::path& d) { std::ofstream(d / "config/config.conf") << "old content\n"; }, false,
       "old content\n", false, 2},
      {"a directory at the temporary name is passed over: written in place",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::create_directories(d / "config/.config.conf.tune-new/inside");
       },
       true, "new"},
      {"a sticky directory holding another user's file is written in place",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::permissions(d / "config/config.conf", fs::perms(0666));
         fs::permissions(d / "config", fs::perms(01777));
       },
       true, "new", true},
      {"a writable directory does not make a read-only file writable",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::permissions(d / "config/config.conf", fs::perms(0444));
         fs::permissions(d / "config", fs::perms(0777));
       },
       false, "old content\n", true},
      {"a read-only directory and file change nothing",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::permissions(d / "config/config.conf", fs::perms(0444));
         fs::permissions(d / "config", fs::perms(0555));
       },
       false, "old content\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimMachine m;
    const fs::path dir = m.sys.root();
    fs::permissions(dir, fs::perms(0755));  // for "nobody"
    fs::create_directory(dir / "data");
    c.arrange(dir);
    const fs::path file = dir / "config/config.conf";
    const bool was_link = fs::is_symlink(file);
    struct stat before = {};
    bool existed = stat(file.c_str(), &before) == 0;

    EXPECT_EQ(replace_in_child(file, "new", c.as_nobody, c.file_size_limit), c.stored);

    fs::permissions(dir / "config", fs::perms(0755));
    EXPECT_EQ(*m.sys.read_file("/config/config.conf"), c.content);
    EXPECT_EQ(fs::is_symlink(file), was_link);
    struct stat after = {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    if (existed) {
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(after.st_uid, before.st_uid);
    }
    for (const fs::path& place : {dir / "config", dir / "data"}) {
      for (const auto& entry : fs::directory_iterator(place)) {
        if (entry.is_directory()) continue;  // not ours to remove
        EXPECT_EQ(entry.path().filename().string().find("tune-new"), std::string::npos)
            << entry.path();
      }
    }
    if (fs::exists(dir / "data/keep")) {
      EXPECT_EQ(*m.sys.read_file("/data/keep"), "keep");
    }
    if (fs::exists(dir / "data/alias")) {
      EXPECT_EQ(*m.sys.read_file("/data/alias"), c.content);
    }
  }
}

TEST(WriteWholeFile, ReplacesContentOrEndsTheRun) {
  SimMachine m;
  m.sys.write_file("/config/config.conf", "a much longer old content\n");
  write_whole_file(m.sys, "/config/config.conf", "new");
  EXPECT_EQ(*m.sys.read_file("/config/config.conf"), "new");

  fs::remove(m.sys.path("/config/config.conf"));
  fs::create_directory(m.sys.path("/config/config.conf"));
  sim::RunResult result = m.run([&] { write_whole_file(m.sys, "/config/config.conf", "x"); });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(m.log(), (Entries{"Can't open /config/config.conf\n"}));
}

}  // namespace
}  // namespace tune
