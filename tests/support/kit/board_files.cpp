#include "board_files.hpp"

#include <filesystem>

#include "sim_miner.hpp"
#include "temp_dir.hpp"

namespace tune::testing {

namespace fs = std::filesystem;

std::string miner_config(int freq, int voltage) {
  return "bitmain-fan-ctrl=false\n" + sim::chain_config_lines(freq, voltage) + "api-listen=true\n";
}

Files ready_board(const std::string& settings, int freq, int voltage) {
  return {{"config/bmminer.conf", "{\"api-listen\":true,\"bitmain-freq\":\"650\"}\n"},
          {"config/autoTune.conf", settings},
          {"config/config.conf", miner_config(freq, voltage)}};
}

Files finished_copy(const Files& files) {
  Files all = {{"config.conf", "bitmain-freq1=650\nbitmain-voltage1=910\n"},
               {"chip-rates", "2:1:74.71\n"},
               {"auto-tune",
                "2027-01-01 00:00:00 Fix yellow\n"
                "2027-01-01 00:09:00 Number of checks is 15, quit\n"}};
  for (const auto& [name, text] : files) all[name] = text;
  return all;
}

void write_files(const std::string& dir, const Files& files) {
  for (const auto& [name, text] : files) {
    if (text == absent) continue;
    fs::create_directories(fs::path(dir + "/" + name).parent_path());
    spit(dir + "/" + name, text);
  }
}

void copy_flat(const std::string& board, const std::string& to) {
  fs::create_directories(to);
  for (const char* file : {"config/config.conf", "config/manual_freqs.txt", "config/bmminer.conf",
                           "tmp/auto-tune", "tmp/chip-rates", "chain-tuner.log"}) {
    fs::copy_file(board + "/" + file, to + "/" + fs::path(file).filename().string());
  }
}

}  // namespace tune::testing
