// tune-session as a board runs it: the built programs in the sandbox with the stand-in
// miner and virtual time, whole tunings, cuts at bad moments, stops, time-outs and undo.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "sandbox.hpp"

namespace tune::blackbox {
namespace {

namespace fs = std::filesystem;

const char* const saved[] = {"config.conf", "manual_freqs.txt", "autoTune.conf"};

// A short tuning: two chain-tuner iterations, then yellow-fixer to its end.
void arrange_board(Sandbox& s) {
  s.write("config/autoTune.conf", "restarts_count=2&desired_rate=99999");
  s.write("config/tune-running", "");
}

std::map<std::string, std::string> state_of(const Sandbox& s) {
  std::map<std::string, std::string> state;
  std::string text = s.text("config/tune-session.state");
  std::regex line("([a-z-]+)=([^\n]*)\n");
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
    state[(*it)[1]] = (*it)[2];
  }
  return state;
}

Outcome session(Sandbox& s, std::vector<std::string> args) {
  RunOptions options;
  options.args = std::move(args);
  return s.run("tune-session", options);
}

[[maybe_unused]] Outcome shell(Sandbox& s, const std::string& script) {
  RunOptions options;
  options.args = {"-c", script};
  return s.run("sh", options);
}

std::vector<std::string> kept_logs(const Sandbox& s) {
  std::vector<std::string> names;
  if (!s.exists("config/tune-logs")) return names;
  for (const auto& entry : fs::directory_iterator(s.root() + "/config/tune-logs")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Session, AWholeTuningRunsBothStagesKeepsCopiesAndLogs) {
  Sandbox s;
  arrange_board(s);
  s.write("config/manual_freqs.txt", "2:1:70\n");
  std::map<std::string, std::string> first;
  for (const char* name : saved) first[name] = s.text(std::string("config/") + name);

  Outcome outcome = session(s, {"start", "--foreground"});
  EXPECT_EQ(outcome.status, 0) << outcome.output << outcome.errors;
  auto state = state_of(s);
  EXPECT_EQ(state["stage"], "finished");
  EXPECT_EQ(state["tuning"], "1");
  EXPECT_EQ(state["chain-tuner"], "status 0");
  EXPECT_EQ(state["yellow-fixer"], "status 0");
  for (const char* name : saved) {
    EXPECT_EQ(s.text(std::string("config/tune-backup/original/") + name), first[name]) << name;
    EXPECT_EQ(s.text(std::string("config/tune-backup/before/") + name), first[name]) << name;
  }
  EXPECT_NE(s.text("config/config.conf"), first["config.conf"]);
  EXPECT_EQ(kept_logs(s), (std::vector<std::string>{"0001-1-chain-tuner.log",
                                                    "0001-2-yellow-fixer.log"}));
  EXPECT_TRUE(s.text("config/tune-logs/0001-1-chain-tuner.log").ends_with("Auto tune is done, exit\n"));
  EXPECT_TRUE(s.text("config/tune-logs/0001-2-yellow-fixer.log").ends_with(", quit\n"));
  EXPECT_EQ(s.text("tmp/finish-ran"), "ran\n");
  EXPECT_TRUE(s.exists("config/tune-running"));  // the firmware's, untouched
  EXPECT_FALSE(s.exists("config/yellow-step"));

  Outcome status = session(s, {"status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_NE(status.output.find("finished at"), std::string::npos) << status.output;
}

}  // namespace
}  // namespace tune::blackbox
