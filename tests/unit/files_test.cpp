#include "files.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "harness.hpp"
#include "kit/process.hpp"
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
  for (const char* what : {"missing", "a directory", "a pipe no one writes"}) {
    SCOPED_TRACE(what);
    SimMachine m;
    const std::string path = m.sys.path("/config/bmminer.conf");
    if (what[0] == 'a') {
      ASSERT_TRUE(what[2] == 'd' ? fs::create_directory(path) : mkfifo(path.c_str(), 0644) == 0);
    }
    alarm(10);  // a pipe must not be waited for: the alarm ends a test that would wait for good
    sim::RunResult result = m.run([&] { read_whole_file(m.sys, "/config/bmminer.conf"); });
    alarm(0);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(m.log(), (Entries{"Can't read /config/bmminer.conf\n"}));
  }
}

// Runs the replace in a child process, as the unprivileged user "nobody" when asked (root
// passes every permission check) and with a limit on the size of the files it may write.
bool replace_in_child(const std::string& path, const std::string& text, bool as_nobody,
                      rlim_t file_size_limit) {
  auto replace = [&] {
    if (file_size_limit != RLIM_INFINITY) {
      signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
      struct rlimit limit = {file_size_limit, file_size_limit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    PosixSystem board;  // the real durable replace, syncs and all
    return replace_file(board, path, text) ? 0 : 1;
  };
  const testing::Outcome child = testing::capture_output(replace, {true, as_nobody});
  EXPECT_TRUE(child.exited && child.status != 125) << "child could not start";
  return child.exited && child.status == 0;
}

// What fallocate answers in this test binary: 0 for the real call, else the error it fails
// with (set before a child is forked, which inherits it).
int fallocate_answer = 0;

}  // namespace

extern "C" int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (fallocate_answer != 0) {
    errno = fallocate_answer;
    return -1;
  }
  return static_cast<int>(syscall(SYS_fallocate, fd, mode, offset, length));
}
extern "C" int fallocate64(int fd, int mode, off_t offset, off_t length) {
  return fallocate(fd, mode, offset, length);
}

namespace {

// A file's extended attributes, by name.
std::map<std::string, std::string> attributes_of(const fs::path& file) {
  std::map<std::string, std::string> values;
  char names[4096], value[4096];
  ssize_t length = listxattr(file.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    ssize_t size = getxattr(file.c_str(), names + at, value, sizeof value);
    values[names + at] = size < 0 ? "?" : std::string(value, static_cast<size_t>(size));
  }
  return values;
}

// An access ACL as the kernel stores it: the owner, user 1000 and the group may read and
// write, others nothing.
std::string access_acl() {
  const uint16_t entries[][2] = {{0x01, 6}, {0x02, 6}, {0x04, 6}, {0x10, 6}, {0x20, 0}};
  const uint32_t ids[] = {~0u, 1000, ~0u, ~0u, ~0u};
  std::string acl(4, '\0');
  acl[0] = 2;  // the format's version, little-endian
  for (int i = 0; i < 5; ++i) {
    acl.append(reinterpret_cast<const char*>(entries[i]), 4);
    acl.append(reinterpret_cast<const char*>(&ids[i]), 4);
  }
  return acl;
}

// How a replace stored the text: through a new file renamed over the old one (a cut
// leaves either content), or in place.
enum class Way { either, renamed, in_place };

TEST(ReplaceFile, LeavesTheOldOrTheNewContentAndTheFileAsItWas) {
  const struct Case {
    const char* name;
    std::function<void(const fs::path& dir)> arrange;  // config/ and data/ beside it
    bool stored;
    const char* content;  // of config/config.conf afterwards
    bool as_nobody = false;
    rlim_t file_size_limit = RLIM_INFINITY;
    Way way = Way::either;
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
      {"a directory at the temporary name: another name is taken",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         fs::create_directories(d / "config/.config.conf.tune-new/inside");
       },
       true, "new", false, RLIM_INFINITY, Way::renamed},
      {"extended attributes and an ACL go with the new file",
       [](const fs::path& d) {
         const fs::path file = d / "config/config.conf";
         std::ofstream(file) << "old content\n";
         const std::string acl = access_acl();
         // A file system without them has nothing to lose; the rest of the case holds.
         if (setxattr(file.c_str(), "user.origin", "firmware", 8, 0) != 0) {
           ASSERT_EQ(errno, ENOTSUP);
         }
         if (setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0) {
           ASSERT_EQ(errno, ENOTSUP);
         }
         // A capability, which the kernel drops from a file that is written: given after.
         const uint32_t capability[5] = {0x02000001, 1u << 10, 0, 0, 0};  // net_bind_service
         if (setxattr(file.c_str(), "security.capability", capability, sizeof capability, 0) != 0) {
           ASSERT_TRUE(errno == ENOTSUP || errno == EPERM) << std::strerror(errno);
         }
       },
       true, "new", false, RLIM_INFINITY, Way::renamed},
      {"a name the temporary name's dot and suffix make too long is written in place",
       [](const fs::path& d) {
         const std::string name(250, 'n');
         std::ofstream(d / "data" / name) << "old content\n";
         fs::create_symlink("../data/" + name, d / "config/config.conf");
       },
       true, "new", false, RLIM_INFINITY, Way::in_place},
      {"a file of another owner, writable through its group, keeps its owner: in place",
       [](const fs::path& d) {
         std::ofstream(d / "config/config.conf") << "old content\n";
         ASSERT_EQ(chown((d / "config/config.conf").c_str(), 0, 65534), 0);
         fs::permissions(d / "config/config.conf", fs::perms(0660));
         fs::permissions(d / "config", fs::perms(0777));
       },
       true, "new", true, RLIM_INFINITY, Way::in_place},
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
    const auto attributes = attributes_of(file);

    EXPECT_EQ(replace_in_child(file, "new", c.as_nobody, c.file_size_limit), c.stored);

    fs::permissions(dir / "config", fs::perms(0755));
    EXPECT_EQ(*m.sys.read_file("/config/config.conf"), c.content);
    EXPECT_EQ(fs::is_symlink(file), was_link);
    struct stat after = {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    if (existed) {
      EXPECT_EQ(after.st_mode, before.st_mode);
      EXPECT_EQ(after.st_uid, before.st_uid);
      EXPECT_EQ(after.st_gid, before.st_gid);
      EXPECT_EQ(attributes_of(file), attributes);
      if (c.way != Way::either) {
        EXPECT_EQ(after.st_ino != before.st_ino, c.way == Way::renamed);
      }
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

// A file system that cannot reserve room (UBIFS, JFFS2: fallocate answers EOPNOTSUPP) takes
// the in-place write of a longer text as it comes; one that is full still fails it with the
// old content whole. Without the reservation a disk that fills during the write leaves the
// file torn, but never cut short: what was written stays.
TEST(ReplaceFile, InPlaceWithoutRoomReservedStoresTheWholeTextOrLeavesTheOld) {
  const std::string text = "a new content, longer than the old\n";
  const struct {
    int answer;
    rlim_t room;  // the file size limit: the disk filling at that size
    bool stored;
    std::string left;
  } rows[] = {{EOPNOTSUPP, RLIM_INFINITY, true, text},
              {ENOSPC, RLIM_INFINITY, false, "old\n"},
              {EOPNOTSUPP, 10, false, text.substr(0, 10)}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(std::strerror(row.answer)) + ", room " + std::to_string(row.room));
    SimMachine m;
    const fs::path dir = m.sys.root();
    fs::create_directory(dir / "data");
    std::ofstream(dir / "data/alias") << "old\n";
    fs::create_hard_link(dir / "data/alias", dir / "config/config.conf");  // written in place
    fallocate_answer = row.answer;
    EXPECT_EQ(replace_in_child((dir / "config/config.conf").string(), text, false, row.room),
              row.stored);
    fallocate_answer = 0;
    for (const char* name : {"/config/config.conf", "/data/alias"}) {
      EXPECT_EQ(*m.sys.read_file(name), row.left) << name;
    }
  }
}

// Every case the durable write falls back to the in-place write for is listed as the code
// words it, and nothing else, in the integrator's guide and each manual page that tells of
// the write: a new fallback cannot go unlisted.
TEST(ReplaceFile, TheDocsListEveryCaseOfTheInPlaceWriteAndNoOther) {
  const struct {
    const char* file;
    const char* item;  // how a line of the list begins
  } docs[] = {{"docs/board.md", "- "},
              {"man/chain-tuner.8", ".IP \\(bu 2\n"},
              {"man/yellow-fixer.8", ".IP \\(bu 2\n"},
              {"man/tune-session.8", ".IP \\(bu 2\n"}};
  for (const auto& doc : docs) {
    SCOPED_TRACE(doc.file);
    std::ifstream in(std::string(TUNE_SOURCE_DIR) + "/" + doc.file);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(text.empty());
    size_t first = std::string::npos, last = 0;
    for (const InPlaceCase& entry : in_place_cases) {
      EXPECT_EQ(in_place_text(entry.why), std::string(entry.text));
      const size_t at = text.find(std::string("\n") + doc.item + entry.text + "\n");
      EXPECT_NE(at, std::string::npos) << entry.text;
      if (at == std::string::npos) continue;
      first = std::min(first, at);
      last = std::max(last, at);
    }
    // The list holds as many items as the code has cases.
    size_t items = 0;
    for (size_t at = first; at != std::string::npos && at <= last;
         at = text.find(std::string("\n") + doc.item, at + 1)) {
      ++items;
    }
    EXPECT_EQ(items, std::size(in_place_cases));
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
