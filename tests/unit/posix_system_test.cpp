#include "posix_system.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace tune {
namespace {

TEST(PosixSystem, PathsAreThemselves) {
  PosixSystem sys;
  EXPECT_EQ(sys.path("/config/config.conf"), "/config/config.conf");
}

TEST(PosixSystem, ReadsTheFirstLineOfACommand) {
  PosixSystem sys;
  PipeLine out = sys.first_line_of("printf 'Elapsed=5,a\\nsecond\\n'");
  EXPECT_TRUE(out.started);
  EXPECT_TRUE(out.has_line);
  EXPECT_EQ(out.line, "Elapsed=5,a\n");
  // A missing client: only the shell runs, and prints nothing on standard output.
  out = sys.first_line_of("tune-no-such-command-here -o stats 2>/dev/null");
  EXPECT_TRUE(out.started);
  EXPECT_FALSE(out.has_line);
}

TEST(PosixSystem, ShellStatusIsReturnedRaw) {
  PosixSystem sys;
  EXPECT_EQ(sys.run_shell("exit 3"), 3 << 8);
  EXPECT_EQ(sys.run_shell("true"), 0);
}

TEST(PosixSystem, NonPositiveSleepsReturnAtOnce) {
  PosixSystem sys;
  auto start = std::chrono::steady_clock::now();
  sys.sleep_seconds(-5);
  sys.sleep_seconds(0);
  sys.sleep_seconds(-(1LL << 40));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace tune
