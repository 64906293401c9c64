#include "log.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness.hpp"

namespace tune {
namespace {

using testing::Entries;
using testing::SimMachine;

TEST(TuneLog, EntriesAreStampedAndKeepTheirOwnLineBreaks) {
  SimMachine m;
  tune_log(m.sys, "Can't open config file");
  tune_logf(m.sys, "Elapsed time: %d\n", 12);
  std::string text = *m.sys.read_file(log_path);
  // A message without a line break leaves the next stamp on its line.
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_EQ(text.size(), 20 + 22 + 20 + 17u);
  EXPECT_EQ(m.log(), (Entries{"Can't open config file", "Elapsed time: 12\n"}));
}

TEST(TuneLog, ResetStartsAFreshLog) {
  SimMachine m;
  tune_log(m.sys, "old run\n");
  tune_log_reset(m.sys);
  ASSERT_TRUE(m.sys.exists(log_path));
  EXPECT_EQ(*m.sys.read_file(log_path), "");
  tune_log(m.sys, "new run\n");
  EXPECT_EQ(m.log(), (Entries{"new run\n"}));
}

TEST(TuneLog, LongMessagesAreCutToTheMessageBuffer) {
  SimMachine m;
  std::string long_text(5000, 'x');
  tune_logf(m.sys, "%s\n", long_text.c_str());
  Entries entries = m.log();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], std::string(message_buffer_size - 1, 'x'));
}

TEST(TuneLog, AnUnwritableLogDropsEntriesButFatalExitsStillExit) {
  SimMachine m;
  std::filesystem::create_directory(m.sys.path(log_path));  // cannot be opened as a file
  tune_log_reset(m.sys);
  tune_log(m.sys, "lost\n");
  bool after = false;
  sim::RunResult result = m.run([&] {
    tune_fatal(m.sys, 1, "Failed to read rates\n");
    after = true;
  });
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 1);
  EXPECT_FALSE(after);
  EXPECT_TRUE(std::filesystem::is_directory(m.sys.path(log_path)));
}

TEST(TuneLog, APipeInPlaceOfTheLogNeitherBlocksNorReceivesEntries) {
  SimMachine m;
  ASSERT_EQ(mkfifo(m.sys.path(log_path).c_str(), 0600), 0);
  for (int i = 0; i < 2000; ++i) tune_log(m.sys, "an entry that would fill the pipe's buffer\n");
  tune_log_reset(m.sys);
  struct stat info;
  ASSERT_EQ(lstat(m.sys.path(log_path).c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(TuneFatal, LogsThenEndsWithTheStatusTheParentSees) {
  SimMachine m;
  bool after = false;
  sim::RunResult result = m.run([&] {
    tune_fatalf(m.sys, -1, "Can't read %s\n", "json");
    after = true;
  });
  EXPECT_FALSE(after);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.parent_status(), 255);
  EXPECT_EQ(m.log(), (Entries{"Can't read json\n"}));
}

// A link planted in the world-writable log directory must not redirect root's writes.
class LogLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "changing a link's owner needs root";
    target = m.sys.path("/config/precious");
    m.sys.write_file("/config/precious", "keep me\n");
    ASSERT_EQ(symlink(target.c_str(), m.sys.path(log_path).c_str()), 0);
  }
  void own_link_by(uid_t uid) { ASSERT_EQ(lchown(m.sys.path(log_path).c_str(), uid, uid), 0); }
  SimMachine m;
  std::string target;
};

TEST_F(LogLinkTest, ALinkOwnedByAnotherUserIsNeverFollowed) {
  own_link_by(4242);
  tune_log_reset(m.sys);
  tune_log(m.sys, "entry\n");
  EXPECT_EQ(*m.sys.read_file("/config/precious"), "keep me\n");
}

TEST_F(LogLinkTest, ALinkOwnedByRootIsFollowed) {
  own_link_by(0);
  tune_log_reset(m.sys);
  tune_log(m.sys, "entry\n");
  std::string content = *m.sys.read_file("/config/precious");
  EXPECT_EQ(content.substr(20), "entry\n");
}

}  // namespace
}  // namespace tune
