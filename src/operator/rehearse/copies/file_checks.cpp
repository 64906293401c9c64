#include <cjson/cJSON.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include "board_reading.hpp"
#include "miner_files.hpp"
#include "miner_stats.hpp"
#include "settings.hpp"
#include "settings_checks.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

void crlf_finding(const BoardFile& file, Findings& findings, const char* what_programs_do) {
  findings.add(file, 1,
               std::string("lines end in CR LF, not LF: ") + what_programs_do +
                   " (every line; reported once)");
}

}  // namespace

std::string quoted(std::string_view text) {
  std::string shown = "\"";  // appended, not prefixed: GCC 12 warns of an overlap that is not
  shown += printable(text, 60);
  shown += '"';
  return shown;
}

void read_base(BoardReading& board, const BoardFile& file, Findings& findings) {
  if (!file.found) return;  // optional: the programs need it, but a copy may leave it out
  constexpr size_t largest_configuration = 1024 * 1024;
  std::optional<std::string> text = read_small_board_file(file, largest_configuration);
  if (!text) {
    findings.add(file, 0, "larger than 1 MB: not the miner's configuration; not read");
    return;
  }
  cJSON* root = cJSON_Parse(text->c_str());
  if (root == nullptr) {
    const char* error = cJSON_GetErrorPtr();
    int line = 1;
    if (error != nullptr && error >= text->c_str() && error <= text->c_str() + text->size()) {
      for (const char* c = text->c_str(); c < error; ++c) line += *c == '\n';
    }
    findings.add(file, line,
                 "not valid JSON: the programs end with \"Can't read json\", status 255");
    return;
  }
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, freq_key);
  if (!cJSON_IsString(item) || !exact_int(item->valuestring)) {
    findings.add(file, 0,
                 "no \"bitmain-freq\" string holding a frequency: chips without a chain "
                 "frequency run at 0 MHz in the programs' eyes");
  }
  cJSON_Delete(root);
  parse_base_freq(text->c_str(), board.state.base_freq);
}

namespace {

// A config.conf chain line: what the programs make of it, and whether it makes sense.
void check_chain_line(BoardReading& board, const BoardFile& file, Findings& findings,
                      std::string_view line, int number, int (&seen_at)[2][chain_count]) {
  bool voltage = line.starts_with(voltage_key);
  std::string_view key = voltage ? voltage_key : freq_key;
  int slot = -1;
  if (line.size() > key.size()) {
    for (int s = 0; s < chain_count; ++s) {
      if (line[key.size()] == chain_digit(s)) slot = s;
    }
  }
  if (slot < 0) {
    findings.add(file, number,
                 quoted(line) + ": no chain digit " + chain_digit(0) + " to " +
                     chain_digit(chain_count - 1) + " after \"" + std::string(key) +
                     "\"; the programs read no chain from it");
    return;
  }
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    findings.add(file, number, quoted(line) + ": no \"=\"; the programs skip it");
    return;
  }
  std::string value(line.substr(equals + 1));
  apply_chain_config_line(board.state, std::string(line));
  int read = voltage ? board.state.chain_voltage[slot] : board.state.chain_freq[slot];
  // What the programs read is what the miner runs: out of range however it was written.
  const bool outside = voltage ? read < lowest_board_voltage || read > highest_board_voltage
                               : read < freq_ladder[0] || read > freq_ladder[top_ladder_step];
  const std::string range = voltage ? "the " + std::to_string(lowest_board_voltage) + " to " +
                                          std::to_string(highest_board_voltage) + " a board runs at"
                                    : "the chips' " + std::to_string(freq_ladder[0]) + " to " +
                                          std::to_string(freq_ladder[top_ladder_step]) + " MHz";
  if (!exact_int(value)) {
    findings.add(file, number,
                 quoted(line) + ": the value is not a whole number; the programs read " +
                     std::to_string(read) + (outside ? ", outside " + range : ""));
  } else if (outside) {
    findings.add(file, number,
                 std::string(voltage ? "chain voltage " : "chain frequency ") +
                     std::to_string(read) + (voltage ? "" : " MHz") + " is outside " + range);
  }
  int& first = seen_at[voltage ? 1 : 0][slot];
  if (first != 0) {
    findings.add(file, number,
                 std::string(key) + chain_digit(slot) + " was already given on line " +
                     std::to_string(first) + "; the programs take the later one");
  } else {
    first = number;
  }
}

}  // namespace

void read_chains(BoardReading& board, const BoardFile& file, Findings& findings) {
  if (!file.found) {
    findings.add(file, 0, "missing: the chains' frequencies and voltages are unknown");
    return;
  }
  bool crlf = false;
  int seen_at[2][chain_count] = {};
  for_each_board_line(
      file,
      [&](const BoardLine& line) {
        if (line.text.starts_with(freq_key) || line.text.starts_with(voltage_key)) {
          check_chain_line(board, file, findings, line.text, line.number, seen_at);
        }
      },
      &crlf);
  bool any = false;
  for (int slot = 0; slot < chain_count; ++slot) {
    board.configured[slot] = seen_at[0][slot] != 0;
    any = any || board.configured[slot];
  }
  if (!any) {
    findings.add(file, 0,
                 "no chain's frequency line (\"bitmain-freq1\" to \"bitmain-freq6\"): the "
                 "chains' ideal rates and the chips' classes are unknown, and no twin can be "
                 "fitted");
  }
  if (crlf) {
    crlf_finding(file, findings,
                 "the programs read the values, but their rewrite writes the chain lines with "
                 "LF and keeps the CR on the miner's own lines");
  }
}

namespace {

// A rate as strtod reads it, and whether the whole text is that number. A text that starts
// with a digit and is all one decimal reads the same through from_chars, many times faster:
// both give the nearest double.
double read_rate(const std::string& text, bool& whole) {
  double rate = 0;
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (error == std::errc() && end == text.data() + text.size()) {
      whole = true;
      return rate;
    }
  }
  char* end = nullptr;
  rate = std::strtod(text.c_str(), &end);
  whole = !text.empty() && *end == '\0';
  return rate;
}

// Reads one "chain:chip:value" line as the programs do, and names what they would ignore.
// Returns the value text, or nothing when the programs ignore the line.
std::optional<std::string> chip_line(const BoardFile& file, Findings& findings,
                                     std::string_view line, int number, const char* shape, int& row,
                                     int& chip) {
  std::vector<std::string> fields = split_fields(line, ':');
  if (fields.size() < 3) {
    findings.add_described(file, number, [&] {
      return "expected " + std::string(shape) + ", got " + quoted(line) +
             "; the programs ignore it";
    });
    return std::nullopt;
  }
  // Whole numbers read the same either way, without the C library's slower reading.
  std::optional<int> chain_field = exact_int(fields[0]), chip_number = exact_int(fields[1]);
  bool whole = chain_field && chip_number;
  if (!(whole ? place_chip(*chain_field, *chip_number, row, chip)
              : parse_chip_fields(fields, row, chip))) {
    findings.add_described(file, number, [&] {
      return quoted(line) + ": chain field 1 to " + std::to_string(chip_table_rows) +
             " and chip 1 to " + std::to_string(chips_per_chain) +
             " expected; the programs ignore it";
    });
    return std::nullopt;
  }
  if (!whole) {
    findings.add_described(file, number, [&] {
      return quoted(line) + ": the chain or chip field is not a whole number";
    });
  }
  bool slot_row = false;
  for (int slot = 0; slot < chain_count; ++slot) slot_row |= chip_table_row(slot) == row;
  if (!slot_row) {
    findings.add_described(file, number, [&] {
      return "chain " + std::to_string(row + 1) + " is no chain slot's (" +
             miner_chain_numbers(", ", " or ") + "); no tuning uses this line";
    });
  }
  return std::move(fields[2]);
}

// Calls `each` with every "chain:chip:value" line of a chip file that the programs take,
// after naming the lines they ignore, a chip given twice and, once, Windows line ends.
void for_each_chip_line(
    const BoardFile& file, Findings& findings, const char* shape, const char* crlf_note,
    const char* twice_note,
    const std::function<void(int number, int row, int chip, const std::string& value)>& each) {
  bool crlf = false;
  auto seen_at = std::make_unique<int[][chips_per_chain]>(chip_table_rows);
  for_each_board_line(
      file,
      [&](const BoardLine& line) {
        if (line.text.empty()) return;
        int row = 0, chip = 0;
        std::optional<std::string> value =
            chip_line(file, findings, line.text, line.number, shape, row, chip);
        if (!value) return;
        if (seen_at[row][chip] != 0) {
          findings.add_described(file, line.number, [&] {
            return "chip " + std::to_string(chip + 1) + " of chain " + std::to_string(row + 1) +
                   " was already given on line " + std::to_string(seen_at[row][chip]) + "; " +
                   twice_note;
          });
        }
        seen_at[row][chip] = line.number;
        each(line.number, row, chip, *value);
      },
      &crlf);
  if (crlf) crlf_finding(file, findings, crlf_note);
}

}  // namespace

void read_overrides(BoardReading& board, const BoardFile& file, Findings& findings) {
  if (!file.found) return;  // no overrides at all
  for_each_chip_line(
      file, findings, "chain:chip:step", "the programs read the steps all the same",
      "the later one counts", [&](int number, int row, int chip, const std::string& value) {
        int step = parse_int(value);
        board.state.chip_override[row][chip] = step;
        if (!exact_int(value)) {
          findings.add(file, number,
                       "step " + quoted(value) + " is not a whole number; the programs read " +
                           std::to_string(step));
        }
        if (step <= 0) {
          findings.add(file, number,
                       "step " + std::to_string(step) + " selects no frequency (no override)");
        } else if (step > top_ladder_step) {
          findings.add(file, number,
                       "step " + std::to_string(step) + " is past the top of the ladder (" +
                           std::to_string(top_ladder_step) + "); the chip runs at " +
                           std::to_string(freq_ladder[top_ladder_step]) + " MHz");
        }
      });
  // The programs lower every chip of a chain without any rate alike: overrides that differ
  // between a chain's chips were made while it hashed.
  for (int slot = 0; slot < chain_count; ++slot) {
    const int(&steps)[chips_per_chain] = board.state.chip_override[chip_table_row(slot)];
    for (int chip = 1; chip < chips_per_chain; ++chip) {
      if (std::max(steps[chip], 0) != std::max(steps[0], 0)) {
        board.hashed[slot] |= hashing_in_overrides;
        break;
      }
    }
  }
}

void read_rates(BoardReading& board, const BoardFile& file, Findings& findings) {
  if (!file.found) {
    findings.add(file, 0,
                 "missing: the rates and the chips' classes are unknown, and the programs end "
                 "with \"Failed to read rates\"");
    return;
  }
  bool listed = false;
  for_each_chip_line(
      file, findings, "chain:chip:rate", "the programs read the rates all the same",
      "the programs take the later one",
      [&](int number, int row, int chip, const std::string& value) {
        bool whole = false;
        double rate = read_rate(value, whole);
        board.state.chip_rate[row][chip] = to_single(rate);
        board.rated[row][chip] = true;
        listed = true;
        if (!whole) {
          findings.add(file, number,
                       "rate " + quoted(value) + " is not a number; the programs read " +
                           number_text(board.state.chip_rate[row][chip]));
        } else if (!std::isfinite(rate)) {
          findings.add(file, number, "rate " + quoted(value) + " is not a finite number");
        } else if (rate < 0) {
          findings.add(file, number, "rate " + quoted(value) + " is negative");
        } else if (rate > fastest_real_chip) {
          findings.add(file, number, "rate " + quoted(value) + " is beyond any real chip");
        }
      });
  if (!listed) {
    findings.add(file, 0, "lists no chip: the rates and the chips' classes are unknown");
  }
}

void check_settings(const BoardFile& file, Findings& findings) {
  if (!file.found) return;
  constexpr size_t largest_settings = 64 * 1024;
  std::optional<std::string> text = read_small_board_file(file, largest_settings);
  if (!text) {
    findings.add(file, 0, "larger than 64 KB: not a settings file; not read");
    return;
  }
  // Only the last line counts, as the programs read it.
  std::vector<std::string> lines = split_lines(*text);
  if (lines.empty()) return;
  for (const SettingsFinding& finding : check_settings_line(lines.back())) {
    findings.add(file, static_cast<int>(lines.size()), finding.what);
  }
}

}  // namespace tune::rehearse
