#include "files.hpp"

#include <filesystem>

#include "harness.hpp"
#include "log.hpp"

namespace tune {
namespace {

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
    if (as_directory) std::filesystem::create_directory(m.sys.path("/config/bmminer.conf"));
    sim::RunResult result = m.run([&] { read_whole_file(m.sys, "/config/bmminer.conf"); });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(m.log(), (Entries{"Can't read /config/bmminer.conf\n"}));
  }
}

TEST(WriteWholeFile, ReplacesContentOrEndsTheRun) {
  SimMachine m;
  m.sys.write_file("/config/config.conf", "a much longer old content\n");
  write_whole_file(m.sys, "/config/config.conf", "new");
  EXPECT_EQ(*m.sys.read_file("/config/config.conf"), "new");

  std::filesystem::remove(m.sys.path("/config/config.conf"));
  std::filesystem::create_directory(m.sys.path("/config/config.conf"));
  sim::RunResult result = m.run([&] { write_whole_file(m.sys, "/config/config.conf", "x"); });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(m.log(), (Entries{"Can't open /config/config.conf\n"}));
}

}  // namespace
}  // namespace tune
