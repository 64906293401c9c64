// A board's copy of any bytes: the report reads it whole, and what it shows stays inert (no
// control byte but the line break in the text or the metrics, JSON that parses). The input
// is the board's files one after another, each ended by a line "~~~".
#include <cjson/cJSON.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "board_report.hpp"
#include "fuzz_support.hpp"
#include "report_json.hpp"
#include "report_metrics.hpp"
#include "report_text.hpp"

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

bool inert(const std::string& text) {
  for (unsigned char c : text) {
    if ((c < 0x20 && c != '\n') || c == 0x7f) return false;
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
                                      "tune-backup/before/config.conf"};
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
  for (int slot = 0; slot < tune::chain_count; ++slot) {
    FUZZ_CHECK(inert(format_chip_history(report, slot, 0)));
  }
  cJSON* json = cJSON_Parse(report_json(report).c_str());
  FUZZ_CHECK(json != nullptr);
  cJSON_Delete(json);
  MetricsWriter metrics;
  metrics.board(report, "board");
  FUZZ_CHECK(inert(metrics.text()));
  return 0;
}
