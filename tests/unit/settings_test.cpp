#include "settings.hpp"

#include "chain_tuner.hpp"
#include "harness.hpp"
#include "yellow_fixer.hpp"

namespace tune {
namespace {

using testing::Entries;
using testing::SimMachine;

constexpr char default_parse_line[] =
    "Config parse: freq_from=500, freq_to=850, voltage_from=880, voltage_to=940, "
    "ideal_percent=97\n";

TEST(LoadTuneSettings, OnlyTheLastLineCounts) {
  SimMachine m;
  m.sys.write_file(settings_path, "max_freq=700&restarts_count=3\nmax_freq=900\n");
  load_chain_tuner_settings(m.ctx);
  EXPECT_EQ(m.ctx.settings.max_freq, 900);
  EXPECT_EQ(m.ctx.settings.restarts_count, 10);
}

TEST(LoadTuneSettings, AnEmptyLastLineAppliesNothingButStillSeedsAndLogs) {
  SimMachine m;
  m.sys.write_file(settings_path, "freq_to=600&voltage_to=900\n\n");
  load_chain_tuner_settings(m.ctx);
  for (int slot = 0; slot < chain_count; ++slot) {
    EXPECT_EQ(m.ctx.state.chain_freq[slot], 850);
    EXPECT_EQ(m.ctx.state.chain_voltage[slot], 940);
  }
  EXPECT_EQ(m.log(), (Entries{default_parse_line}));
}

TEST(LoadTuneSettings, ChainTunerSeedsEverySlotFromTheFileAndLogs) {
  SimMachine m;
  m.sys.write_file(settings_path,
                   "freq_to=700&voltage_to=920&voltage_from=890&ideal_percent=95\r\n");
  load_chain_tuner_settings(m.ctx);
  for (int slot = 0; slot < chain_count; ++slot) {
    EXPECT_EQ(m.ctx.state.chain_freq[slot], 700);
    EXPECT_EQ(m.ctx.state.chain_voltage[slot], 920);
  }
  EXPECT_EQ(m.log(), (Entries{"Config parse: freq_from=500, freq_to=700, voltage_from=890, "
                              "voltage_to=920, ideal_percent=95\n"}));
}

TEST(ApplySettingsLine, PairRules) {
  TuneSettings s;
  apply_settings_line(s, chain_tuner_settings,
                      "max_freq=700& desired_rate=1&restarts_count=&stat_poll_interval"
                      "&wait_after_restart=60=9&&=freq_to=800&max_freq=750&Voltage_to=1");
  EXPECT_EQ(s.max_freq, 750);           // the later pair wins
  EXPECT_EQ(s.desired_rate, 16000);     // a blank before the key makes it unknown
  EXPECT_EQ(s.restarts_count, 10);      // key without a value
  EXPECT_EQ(s.stat_poll_interval, 30);  // no "=" at all
  EXPECT_EQ(s.wait_after_restart, 60);  // further fields ignored
  EXPECT_EQ(s.freq_to, 800);            // a leading "=" is skipped
  EXPECT_EQ(s.voltage_to, 940);         // keys are case-sensitive
  apply_settings_line(s, chain_tuner_settings, "max_freq=abc&voltage_from=-5x");
  EXPECT_EQ(s.max_freq, 0);
  EXPECT_EQ(s.voltage_from, -5);
}

TEST(LoadTuneSettings, YellowFixerReadsItsFiveKeysSilently) {
  SimMachine m;
  m.ctx.state.chain_freq[0] = 575;
  m.sys.write_file(settings_path,
                   "restarts_count=2&max_freq=1&freq_to=1&voltage_from=1&voltage_to=1&"
                   "ideal_percent=90&wait_after_restart=100&stat_poll_interval=5&"
                   "wait_test_run_seconds=7&desired_rate=15000");
  load_tune_settings(m.ctx, yellow_fixer_settings);
  const TuneSettings& s = m.ctx.settings;
  EXPECT_EQ(s.restarts_count, 10);
  EXPECT_EQ(s.max_freq, 800);
  EXPECT_EQ(s.freq_to, 850);
  EXPECT_EQ(s.voltage_from, 880);
  EXPECT_EQ(s.voltage_to, 940);
  EXPECT_EQ(s.ideal_percent, 90);
  EXPECT_EQ(s.wait_after_restart, 100);
  EXPECT_EQ(s.stat_poll_interval, 5);
  EXPECT_EQ(s.wait_test_run_seconds, 7);
  EXPECT_EQ(s.desired_rate, 15000);
  EXPECT_EQ(m.ctx.state.chain_freq[0], 575);  // no seeding
  EXPECT_EQ(m.log(), Entries{});
}

TEST(LoadTuneSettings, ALaterLoadAppliesOverTheValuesInForce) {
  SimMachine m;
  m.sys.write_file(settings_path, "desired_rate=15000&stat_poll_interval=5");
  load_tune_settings(m.ctx, yellow_fixer_settings);
  m.sys.write_file(settings_path, "desired_rate=14000");
  load_tune_settings(m.ctx, yellow_fixer_settings);
  EXPECT_EQ(m.ctx.settings.desired_rate, 14000);
  EXPECT_EQ(m.ctx.settings.stat_poll_interval, 5);
}

TEST(LoadTuneSettings, AnEmptyFileKeepsTheDefaults) {
  SimMachine m;
  m.sys.write_file(settings_path, "");
  load_chain_tuner_settings(m.ctx);
  EXPECT_EQ(m.log(), (Entries{default_parse_line}));
}

TEST(LoadTuneSettings, AMissingFileEndsTheRunWithStatusZero) {
  auto load_yellow_fixer_settings = [](TuneContext& ctx) {
    load_tune_settings(ctx, yellow_fixer_settings);
  };
  for (auto load : std::vector<std::function<void(TuneContext&)>>{load_chain_tuner_settings,
                                                                  load_yellow_fixer_settings}) {
    SimMachine m;
    bool after = false;
    sim::RunResult result = m.run([&] {
      load(m.ctx);
      after = true;
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_FALSE(after);
    EXPECT_EQ(m.log(), (Entries{"Can't open config file"}));
    EXPECT_EQ(m.ctx.state.chain_freq[0], 0);
  }
}

}  // namespace
}  // namespace tune
