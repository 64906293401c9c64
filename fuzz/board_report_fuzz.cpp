// A board's copy of any bytes: the report reads it whole, and what it shows stays inert (no
// control byte but the line break in the text or the metrics, JSON that parses). The input
// is the board's files one after another, each ended by a line "~~~".
#include <cjson/cJSON.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "board_report.hpp"
#include "fuzz_support.hpp"
#include "report_json.hpp"
#include "report_metrics.hpp"
#include "report_text.hpp"
#include "text.hpp"

namespace {

namespace fs = std::filesystem;

// One board directory for the whole fuzzing process, its files replaced at each input.
const std::string& board_dir() {
  static const std::string dir = [] {
    std::string pattern = (fs::temp_directory_path() / "board-fuzz-XXXXXX").string();
    std::string made = mkdtemp(pattern.data());
    fs::create_directories(made + "/tune-logs");
    fs::create_directories(made + "/tune-backup/before");
    return made;
  }();
  static const bool cleaned_at_exit = std::atexit([] {
                                        std::error_code ignored;
                                        fs::remove_all(board_dir(), ignored);
                                      }) == 0;
  (void)cleaned_at_exit;
  return dir;
}

// Valid UTF-8 with no control byte but the line break: each line is as the report's own
// escaping would show it.
bool inert(const std::string& text) {
  for (size_t at = 0; at <= text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line(text.data() + at, end - at);
    if (tune::printable(line, line.size() * 4 + 1) != line) return false;
    at = end + 1;
  }
  return true;
}

// Every string of the JSON document, member names included, inert and within one line.
bool inert_strings(const cJSON* item) {
  for (; item != nullptr; item = item->next) {
    for (const char* text : {item->string, cJSON_IsString(item) ? item->valuestring : nullptr}) {
      if (text != nullptr && (!inert(text) || std::strchr(text, '\n') != nullptr)) return false;
    }
    if (!inert_strings(item->child)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tune::rehearse;
  static const char* const files[] = {"auto-tune",
                                      "chip-rates",
                                      "config.conf",
                                      "manual_freqs.txt",
                                      "tune-session.state",
                                      "chip-history.txt",
                                      "tune-logs/0001-1-chain-tuner.log",
                                      "tune-backup/before/config.conf",
                                      "autoTune.conf"};
  const std::string input = tune::fuzz::text_of(data, size);
  const std::string& dir = board_dir();
  size_t at = 0;
  for (const char* name : files) {
    size_t end = input.find("~~~\n", at);
    std::string part = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::ofstream(dir + "/" + name, std::ios::binary | std::ios::trunc) << part;
    at = end == std::string::npos ? input.size() : end + 4;
  }
  BoardReport report;
  try {
    report = read_board(dir);
  } catch (const UnusableBoard&) {
    return 0;  // a file the report cannot read: one line on standard error, no report
  }
  FUZZ_CHECK(inert(format_summary(report)));
  FUZZ_CHECK(inert(format_board_line(report)));
  // Every chip whose history holds something from the files, and one that holds nothing.
  for (const ChainView& chain : report.chains) {
    for (int chip = 0; chip < tune::chips_per_chain; ++chip) {
      if (chip == 0 || !chain.chips[chip].history.empty()) {
        FUZZ_CHECK(inert(format_chip_history(report, chain.slot, chip)));
      }
    }
  }
  const std::string json_text = report_json(report);
  FUZZ_CHECK(inert(json_text));
  cJSON* json = cJSON_Parse(json_text.c_str());
  FUZZ_CHECK(json != nullptr);
  FUZZ_CHECK(inert_strings(json));
  cJSON_Delete(json);
  MetricsWriter metrics;
  metrics.board(report, "board");
  const std::optional<std::string> exposition = metrics.text();
  FUZZ_CHECK(exposition && inert(*exposition));
  return 0;
}
