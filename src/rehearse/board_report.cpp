#include "board_report.hpp"

#include <cjson/cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string_view>

#include "chip_model.hpp"
#include "miner_files.hpp"
#include "miner_stats.hpp"
#include "rehearsal.hpp"
#include "text.hpp"

namespace tune::rehearse {

namespace {

// No real chip hashes faster than this (GH/s); the fastest ladder step expects about 135.
constexpr double fastest_real_chip = 1000;
constexpr int lowest_board_voltage = 600;  // the miner's units, hundredths of a volt
constexpr int highest_board_voltage = 1100;

struct BoardFile {
  std::string path;  // where it was found, or where it was first looked for
  bool found = false;
  std::string text;
};

std::string reason(int error) {
  return std::strerror(error);
}

// Reads the whole file; false when it does not exist. A file that exists but cannot be
// read makes the board unusable.
bool read_file(const std::string& path, std::string& text) {
  // Not blocking: a pipe planted in a copied board must not hang the report.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return false;
    throw UnusableBoard(path + ": " + reason(errno));
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    throw UnusableBoard(path + ": not a regular file");
  }
  text.clear();
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      throw UnusableBoard(path + ": " + reason(error));
    }
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return true;
}

BoardFile find_file(const std::string& dir, const char* name) {
  BoardFile file;
  file.path = dir + "/" + name;
  for (const char* sub : {"/", "/config/", "/tmp/"}) {
    std::string path = dir + sub + name;
    if (read_file(path, file.text)) {
      file.path = path;
      file.found = true;
      break;
    }
  }
  return file;
}

// The lines of a text without their line ends, "\r\n" counted as one; tells whether any
// line ended in "\r\n".
std::vector<std::string_view> lines_of(const std::string& text, bool& crlf) {
  std::vector<std::string_view> lines;
  crlf = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    if (end < text.size() && line.ends_with('\r')) {
      line.remove_suffix(1);
      crlf = true;
    }
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

class Findings {
 public:
  explicit Findings(std::vector<Finding>& out) : out_(out) {}
  void add(const BoardFile& file, int line, const std::string& what) {
    out_.push_back({file.path, line, what});
  }

 private:
  std::vector<Finding>& out_;
};

std::string quoted(std::string_view text) {
  constexpr size_t shown = 60;
  std::string out = "\"";
  out.append(text.substr(0, shown));
  if (text.size() > shown) out += "...";
  return out + "\"";
}

// A whole decimal integer: an optional sign and digits, nothing else.
bool is_integer_text(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string number_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

bool is_decimal_text(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return *end == '\0';
}

void crlf_finding(const BoardFile& file, Findings& findings, const char* what_programs_do) {
  findings.add(file, 1,
               std::string("lines end in CR LF, not LF: ") + what_programs_do +
                   " (every line; reported once)");
}

void read_base(BoardReport& report, const BoardFile& file, Findings& findings) {
  if (!file.found) return;  // optional: the programs need it, but a copy may leave it out
  cJSON* root = cJSON_Parse(file.text.c_str());
  if (root == nullptr) {
    const char* error = cJSON_GetErrorPtr();
    int line = 1;
    if (error != nullptr && error >= file.text.c_str() &&
        error <= file.text.c_str() + file.text.size()) {
      for (const char* c = file.text.c_str(); c < error; ++c) line += *c == '\n';
    }
    findings.add(file, line,
                 "not valid JSON: the programs end with \"Can't read json\", status 255");
    return;
  }
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, freq_key);
  if (!cJSON_IsString(item) || !is_integer_text(item->valuestring)) {
    findings.add(file, 0,
                 "no \"bitmain-freq\" string holding a frequency: chips without a chain "
                 "frequency run at 0 MHz in the programs' eyes");
  }
  cJSON_Delete(root);
  parse_base_freq(file.text.c_str(), report.state.base_freq);
}

// A config.conf chain line: what the programs make of it, and whether it makes sense.
void check_chain_line(BoardReport& report, const BoardFile& file, Findings& findings,
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
                 quoted(line) + ": no chain digit 1 to 6 after \"" + std::string(key) +
                     "\"; the programs read no chain from it");
    return;
  }
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    findings.add(file, number, quoted(line) + ": no \"=\"; the programs skip it");
    return;
  }
  std::string value(line.substr(equals + 1));
  apply_chain_config_line(report.state, std::string(line));
  int read = voltage ? report.state.chain_voltage[slot] : report.state.chain_freq[slot];
  if (!is_integer_text(value)) {
    findings.add(file, number,
                 quoted(line) + ": the value is not a whole number; the programs read " +
                     std::to_string(read));
  } else if (!voltage && (read < freq_ladder[0] || read > freq_ladder[top_ladder_step])) {
    findings.add(
        file, number,
        "chain frequency " + std::to_string(read) + " MHz is outside the chips' 100 to 1175 MHz");
  } else if (voltage && (read < lowest_board_voltage || read > highest_board_voltage)) {
    findings.add(file, number,
                 "chain voltage " + std::to_string(read) + " is outside the " +
                     std::to_string(lowest_board_voltage) + " to " +
                     std::to_string(highest_board_voltage) + " a board runs at");
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

void read_chains(BoardReport& report, const BoardFile& file, Findings& findings) {
  if (!file.found) {
    findings.add(file, 0, "missing: the chains' frequencies and voltages are unknown");
    return;
  }
  bool crlf;
  std::vector<std::string_view> lines = lines_of(file.text, crlf);
  if (crlf) {
    crlf_finding(file, findings,
                 "the programs read the values, but their rewrite writes the chain lines with "
                 "LF and keeps the CR on the miner's own lines");
  }
  int seen_at[2][chain_count] = {};
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.starts_with(freq_key) || line.starts_with(voltage_key)) {
      check_chain_line(report, file, findings, line, static_cast<int>(i + 1), seen_at);
    }
  }
}

// Reads one "chain:chip:value" line as the programs do, and names what they would ignore.
// Returns the value text, or nothing when the programs ignore the line.
std::optional<std::string> chip_line(const BoardFile& file, Findings& findings,
                                     std::string_view line, int number, const char* shape, int& row,
                                     int& chip) {
  std::string text(line);
  std::vector<std::string> fields = split_fields(text, ':');
  if (fields.size() < 3) {
    findings.add(
        file, number,
        "expected " + std::string(shape) + ", got " + quoted(line) + "; the programs ignore it");
    return std::nullopt;
  }
  std::string value;
  if (!parse_chip_line(text, row, chip, value)) {
    findings.add(file, number,
                 quoted(line) +
                     ": chain field 1 to 16 and chip 1 to 63 expected; the programs "
                     "ignore it");
    return std::nullopt;
  }
  if (!is_integer_text(fields[0]) || !is_integer_text(fields[1])) {
    findings.add(file, number, quoted(line) + ": the chain or chip field is not a whole number");
  }
  bool slot_row = false;
  for (int slot = 0; slot < chain_count; ++slot) slot_row |= chip_table_row(slot) == row;
  if (!slot_row) {
    findings.add(file, number,
                 "chain " + std::to_string(row + 1) +
                     " is no chain slot's (2, 3, 4, 6, 7 or 8); no tuning uses this line");
  }
  return value;
}

// Calls `each` with every "chain:chip:value" line of a chip file that the programs take,
// after naming the lines they ignore and, once, Windows line ends.
void for_each_chip_line(const BoardFile& file, Findings& findings, const char* shape,
                        const char* crlf_note,
                        const std::function<void(std::string_view line, int number, int row,
                                                 int chip, const std::string& value)>& each) {
  bool crlf;
  std::vector<std::string_view> lines = lines_of(file.text, crlf);
  if (crlf) crlf_finding(file, findings, crlf_note);
  for (size_t i = 0; i < lines.size(); ++i) {
    int number = static_cast<int>(i + 1);
    if (lines[i].empty()) continue;
    int row = 0, chip = 0;
    std::optional<std::string> value =
        chip_line(file, findings, lines[i], number, shape, row, chip);
    if (value) each(lines[i], number, row, chip, *value);
  }
}

void read_overrides(BoardReport& report, const BoardFile& file, Findings& findings) {
  if (!file.found) return;  // no overrides at all
  int seen_at[chip_table_rows][chips_per_chain] = {};
  for_each_chip_line(
      file, findings, "chain:chip:step", "the programs read the steps all the same",
      [&](std::string_view line, int number, int row, int chip, const std::string& value) {
        apply_chip_override_line(report.state, std::string(line));
        int step = report.state.chip_override[row][chip];
        if (!is_integer_text(value)) {
          findings.add(file, number,
                       "step " + quoted(value) + " is not a whole number; the programs read " +
                           std::to_string(step));
        }
        if (step <= 0) {
          findings.add(file, number,
                       "step " + std::to_string(step) + " selects no frequency (no override)");
        } else if (step > top_ladder_step) {
          findings.add(file, number,
                       "step " + std::to_string(step) +
                           " is past the top of the ladder (113); the chip runs at 1175 MHz");
        }
        if (seen_at[row][chip] != 0) {
          findings.add(file, number,
                       "chip " + std::to_string(chip + 1) + " of chain " + std::to_string(row + 1) +
                           " was already given on line " + std::to_string(seen_at[row][chip]) +
                           "; the later one counts");
        }
        seen_at[row][chip] = number;
      });
}

void read_rates(BoardReport& report, const BoardFile& file, Findings& findings) {
  if (!file.found) {
    findings.add(file, 0,
                 "missing: no chip has a rate, and the programs end with \"Failed to read "
                 "rates\"");
    return;
  }
  for_each_chip_line(
      file, findings, "chain:chip:rate", "the programs read the rates all the same",
      [&](std::string_view line, int number, int row, int chip, const std::string& value) {
        apply_chip_rate_line(report.state, std::string(line));
        report.rated[row][chip] = true;
        double rate = std::strtod(value.c_str(), nullptr);
        if (!is_decimal_text(value)) {
          findings.add(file, number,
                       "rate " + quoted(value) + " is not a number; the programs read " +
                           number_text(report.state.chip_rate[row][chip]));
        } else if (!std::isfinite(rate)) {
          findings.add(file, number, "rate " + quoted(value) + " is not a finite number");
        } else if (rate < 0) {
          findings.add(file, number, "rate " + quoted(value) + " is negative");
        } else if (rate > fastest_real_chip) {
          findings.add(file, number, "rate " + quoted(value) + " is beyond any real chip");
        }
      });
}

// "YYYY-MM-DD HH:MM:SS " at the start of `text`, as seconds (differences only matter).
std::optional<long long> stamp_at(std::string_view text) {
  static constexpr char shape[] = "dddd-dd-dd dd:dd:dd ";
  if (text.size() < sizeof shape - 1) return std::nullopt;
  for (size_t i = 0; i + 1 < sizeof shape; ++i) {
    char c = text[i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t length) {
    int value = 0;
    for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  tm.tm_hour = number(11, 2);
  tm.tm_min = number(14, 2);
  tm.tm_sec = number(17, 2);
  return static_cast<long long>(timegm(&tm));
}

constexpr size_t stamp_length = 20;

void read_session(BoardReport& report, const BoardFile& file, Findings& findings, bool required) {
  if (!file.found) {
    if (required) findings.add(file, 0, "missing: no log of the last run");
    return;
  }
  if (file.text.empty()) {
    findings.add(file, 0, "empty: the log holds no run");
    return;
  }
  // Entries: each begins with a stamp; one without a line break runs up to the next stamp.
  std::vector<std::string> stamps, entries;
  std::optional<long long> first, last;
  size_t pos = 0;
  int line = 1;
  bool unstamped_reported = false;
  while (pos < file.text.size()) {
    std::string_view rest(file.text.data() + pos, file.text.size() - pos);
    std::optional<long long> seconds = stamp_at(rest);
    if (!seconds) {
      if (!unstamped_reported) {
        findings.add(file, line, "no time stamp: not an entry the programs wrote");
        unstamped_reported = true;
      }
      size_t end = rest.find('\n');
      if (end == std::string_view::npos) break;
      pos += end + 1;
      ++line;
      continue;
    }
    if (!first) first = seconds;
    last = seconds;
    size_t end = stamp_length;
    while (end < rest.size() && rest[end] != '\n' && !stamp_at(rest.substr(end))) ++end;
    if (end < rest.size() && rest[end] == '\n') {
      ++end;
      ++line;
    }
    stamps.emplace_back(rest.substr(0, stamp_length - 1));
    entries.emplace_back(rest.substr(stamp_length, end - stamp_length));
    pos += end;
  }
  if (entries.empty()) return;
  add_logged_changes(report.history, stamps, entries);
  SessionSummary session;
  session.log_file = file.path;
  bool fixer = false, resumed = false;
  int restarts = 0;
  for (const std::string& entry : entries) {
    fixer |= entry == "Fix yellow\n";
    resumed |=
        entry.starts_with("Resuming tune from step ") && entry != "Resuming tune from step 0\n";
  }
  session.program = fixer ? "yellow-fixer" : "chain-tuner";
  // The chain tuner logs "GET STAT" after each restart. The yellow fixer says why it
  // restarts, and restarts once more at a fresh start (one not resumed from a stored step).
  for (const std::string& entry : entries) {
    restarts += fixer ? entry.ends_with(", doing restart\n") : entry == "GET STAT\n";
  }
  session.restarts = restarts + (fixer && !resumed ? 1 : 0);
  session.span_seconds = *last - *first;
  session.ending = entries.back();
  if (!session.ending.empty() && session.ending.back() == '\n') session.ending.pop_back();
  report.sessions.push_back(session);
}

// Classes every rated chip as the chain tuner does (any chip with a frequency can be red).
void summarise(BoardReport& report) {
  const TuneState& state = report.state;
  for (int slot = 0; slot < chain_count; ++slot) {
    ChainSummary& chain = report.chains[slot];
    int row = chip_table_row(slot);
    chain.slot = slot;
    chain.freq = state.chain_freq[slot];
    chain.voltage = state.chain_voltage[slot];
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      chain.present |= report.rated[row][chip];
      if (state.chip_override[row][chip] > 0) ++chain.overrides;
    }
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      ChipClass& chip_class = report.chip_class[slot][chip];
      chip_class = ChipClass::unrated;
      if (!chain.present) continue;
      int freq = effective_chip_freq(state, slot, chip);
      chain.ideal_rate += expected_rate(freq);
      chain.power += sim::ChipModel::chip_power(freq, chain.voltage);
      if (!report.rated[row][chip]) {
        ++chain.unrated;
        continue;
      }
      float rate = state.chip_rate[row][chip];
      if (std::isfinite(rate)) chain.measured_rate += rate;
      switch (chip_health(state, slot, chip, no_red_floor)) {
        case ChipHealth::red:
          chip_class = ChipClass::red;
          ++chain.red;
          break;
        case ChipHealth::yellow:
          chip_class = ChipClass::yellow;
          ++chain.yellow;
          break;
        case ChipHealth::green:
          chip_class = ChipClass::green;
          ++chain.green;
          break;
        case ChipHealth::unclassified:
          chip_class = ChipClass::unclassified;
          break;
      }
    }
  }
}

void read_history(BoardReport& report, const std::string& dir, Findings& findings) {
  BoardFile record;
  record.path = dir + "/" + chip_history_file;
  record.found = read_file(record.path, record.text);
  if (!record.found) {
    add_unlogged_final_changes(report.history, report.state);
    return;
  }
  ChipHistories recorded;
  int bad_line = 0;
  if (read_history_record(record.text, recorded, bad_line)) {
    report.history = std::move(recorded);
  } else {
    findings.add(record, bad_line, "not a change of a chip; the logs are used instead");
    add_unlogged_final_changes(report.history, report.state);
  }
}

}  // namespace

const char* class_name(ChipClass chip_class) {
  switch (chip_class) {
    case ChipClass::red:
      return "red";
    case ChipClass::yellow:
      return "yellow";
    case ChipClass::green:
      return "green";
    case ChipClass::unclassified:
      return "unclassified";
    case ChipClass::unrated:
      break;
  }
  return "no rate";
}

BoardTotals& BoardTotals::operator+=(const BoardTotals& o) {
  chains += o.chains;
  measured_rate += o.measured_rate;
  ideal_rate += o.ideal_rate;
  power += o.power;
  red += o.red;
  yellow += o.yellow;
  green += o.green;
  unrated += o.unrated;
  overrides += o.overrides;
  return *this;
}

BoardTotals totals_of(const BoardReport& report) {
  BoardTotals t;
  for (const ChainSummary& c : report.chains) {
    BoardTotals chain;
    chain.overrides = c.overrides;
    if (c.present) {
      chain.chains = 1;
      chain.measured_rate = c.measured_rate;
      chain.ideal_rate = c.ideal_rate;
      chain.power = c.power;
      chain.red = c.red;
      chain.yellow = c.yellow;
      chain.green = c.green;
      chain.unrated = c.unrated;
    }
    t += chain;
  }
  return t;
}

std::string Finding::text() const {
  return line > 0 ? file + ":" + std::to_string(line) + ": " + what : file + ": " + what;
}

BoardReport read_board(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) throw UnusableBoard(dir + ": " + reason(errno));
  closedir(listing);

  BoardReport report;
  report.dir = dir;
  struct stat marker;
  report.rehearsal = stat((dir + "/" + rehearsal_marker).c_str(), &marker) == 0;
  Findings findings(report.findings);
  // Any file that cannot be read throws here, before the caller has shown anything.
  BoardFile bmminer = find_file(dir, "bmminer.conf");
  BoardFile config = find_file(dir, "config.conf");
  BoardFile overrides = find_file(dir, "manual_freqs.txt");
  BoardFile rates = find_file(dir, "chip-rates");
  BoardFile chain_log = find_file(dir, "chain-tuner.log");
  BoardFile log = find_file(dir, "auto-tune");

  read_base(report, bmminer, findings);
  read_chains(report, config, findings);
  read_overrides(report, overrides, findings);
  read_rates(report, rates, findings);
  read_session(report, chain_log, findings, false);
  read_session(report, log, findings, true);
  summarise(report);
  read_history(report, dir, findings);
  return report;
}

}  // namespace tune::rehearse
