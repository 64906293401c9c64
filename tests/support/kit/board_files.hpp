// A board's files as the tests lay them out, by their paths in the board's directory: flat,
// as a copy off the board may hold them ("config.conf", "auto-tune"), or under config/ and
// tmp/ as the board holds them ("config/config.conf", "tmp/auto-tune"), which is also how a
// simulated machine's root and a sandbox keep them.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "kit/temp_dir.hpp"
#include "sim_miner.hpp"

namespace tune::testing {

using Files = std::map<std::string, std::string>;

// Given as a file's text, leaves that file out (over a default).
inline const std::string absent = "\x01(absent)";

// The miner's config.conf as a board has it: its own lines around all twelve chain lines.
inline std::string miner_config(int freq, int voltage) {
  return "bitmain-fan-ctrl=false\n" + sim::chain_config_lines(freq, voltage) + "api-listen=true\n";
}

// A board ready for a tuning, under config/: bmminer.conf with the global frequency 650,
// config.conf with every chain at `freq` MHz and `voltage`, and `settings` as autoTune.conf.
inline Files ready_board(const std::string& settings = "", int freq = 650, int voltage = 910) {
  return {{"config/bmminer.conf", "{\"api-listen\":true,\"bitmain-freq\":\"650\"}\n"},
          {"config/autoTune.conf", settings},
          {"config/config.conf", miner_config(freq, voltage)}};
}

// The files of a board copied off after a finished tuning, flat: chain 2's settings, its first
// chip's rate and yellow-fixer's log to its end; `files` over them.
inline Files finished_copy(const Files& files = {}) {
  Files all = {{"config.conf", "bitmain-freq1=650\nbitmain-voltage1=910\n"},
               {"chip-rates", "2:1:74.71\n"},
               {"auto-tune",
                "2027-01-01 00:00:00 Fix yellow\n"
                "2027-01-01 00:09:00 Number of checks is 15, quit\n"}};
  for (const auto& [name, text] : files) all[name] = text;
  return all;
}

// Writes each file under `dir`, making the directories on its way; an `absent` one is not.
inline void write_files(const std::string& dir, const Files& files) {
  for (const auto& [name, text] : files) {
    if (text == absent) continue;
    std::filesystem::create_directories(std::filesystem::path(dir + "/" + name).parent_path());
    spit(dir + "/" + name, text);
  }
}

// A file of "key=value" lines, such as tune-session's state, key by key.
inline std::map<std::string, std::string> fields_of(const std::string& text) {
  std::map<std::string, std::string> fields;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

// A rehearsal's board (config/ and tmp/) copied to `to` as a real one is copied off: flat
// files, no rehearsal marker, no record.
inline void copy_flat(const std::string& board, const std::string& to) {
  std::filesystem::create_directories(to);
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "config/bmminer.conf",
                           "tmp/auto-tune", "tmp/chip-rates", "chain-tuner.log"}) {
    std::filesystem::copy_file(board + "/" + file,
                               to + "/" + std::filesystem::path(file).filename().string());
  }
}

}  // namespace tune::testing
