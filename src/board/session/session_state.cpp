#include "session_state.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "board_files.hpp"
#include "files.hpp"
#include "text.hpp"

namespace tune::session {

namespace {

constexpr struct {
  Stage stage;
  const char* name;
} stage_names[] = {
    {Stage::none, "none"},
    {Stage::saving, "saving"},
    {Stage::chain_tuner, "chain-tuner"},
    {Stage::yellow_fixer, "yellow-fixer"},
};

constexpr struct {
  Ending ending;
  const char* name;
} ending_names[] = {
    {Ending::finished, "finished"},   {Ending::failed, "failed"}, {Ending::stopped, "stopped"},
    {Ending::timed_out, "timed out"}, {Ending::undone, "undone"},
};

// A state file is a few hundred bytes; anything past this is not one of ours.
constexpr size_t state_size_limit = 64 * 1024;

// A whole decimal number, or nothing.
std::optional<long long> whole_number(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  for (char c : text) {
    if ((c < '0' || c > '9') && !(c == '-' && &c == &text[0])) return std::nullopt;
  }
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == text.c_str()) return std::nullopt;
  return value;
}

std::optional<ProgramEnd> program_end(const std::string& text) {
  bool by_signal = text.starts_with("signal ");
  if (!by_signal && !text.starts_with("status ")) return std::nullopt;
  std::optional<long long> number = whole_number(text.substr(7));
  if (!number || *number < 0 || *number > 255) return std::nullopt;
  return ProgramEnd{by_signal, static_cast<int>(*number)};
}

std::optional<Stage> stage_named(const std::string& name) {
  for (const auto& entry : stage_names) {
    if (name == entry.name) return entry.stage;
  }
  return std::nullopt;
}

std::optional<Ending> ending_named(const std::string& name) {
  for (const auto& entry : ending_names) {
    if (name == entry.name) return entry.ending;
  }
  return std::nullopt;
}

// One line of text: line breaks would split the record.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

const char* stage_name(Stage stage) {
  for (const auto& entry : stage_names) {
    if (entry.stage == stage) return entry.name;
  }
  return "none";
}

const char* ending_name(Ending ending) {
  for (const auto& entry : ending_names) {
    if (entry.ending == ending) return entry.name;
  }
  return "none";
}

const char* standing_name(Stage stage, const std::optional<Ending>& ending) {
  return ending ? ending_name(*ending) : stage_name(stage);
}

std::string describe(const ProgramEnd& end) {
  return (end.by_signal ? "signal " : "status ") + std::to_string(end.number);
}

bool SessionState::ended_early() const {
  return ending == Ending::failed || ending == Ending::stopped || ending == Ending::timed_out;
}

std::optional<double> parse_hours(const std::string& text) {
  int digits = 0, points = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || points > 1 || text.size() > 32) return std::nullopt;
  double hours = std::strtod(text.c_str(), nullptr);
  if (hours <= 0 || hours > longest_deadline_hours) return std::nullopt;
  return hours;
}

std::optional<SessionState> parse_state(const std::string& text, std::string& problem) {
  SessionState state;
  Stage at = Stage::none;  // where a tuning that ended early ended
  bool has_tuning = false, has_stage = false;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t equals = line.find('=');
    const std::string key = line.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
    const std::optional<long long> whole = whole_number(value);
    const std::optional<Stage> stage = stage_named(value);
    const std::optional<Ending> ending = ending_named(value);
    bool understood = equals != std::string::npos && !key.empty();
    auto count = [&](int& field) {
      understood = understood && whole && *whole >= 0 && *whole <= 1000000000;
      if (understood) field = static_cast<int>(*whole);
    };
    auto time = [&](std::time_t& field) {
      understood = understood && whole && *whole >= 0;
      if (understood) field = static_cast<std::time_t>(*whole);
    };
    // A tuning's standing as "stage=" names it: how it ended, else where it stands.
    auto standing = [&](Stage& where, std::optional<Ending>& how) {
      understood = understood && (stage || ending);
      where = stage.value_or(Stage::none);
      how = ending;
    };
    auto ended = [&](std::optional<ProgramEnd>& field) {
      field = program_end(value);
      understood = understood && field;
    };
    if (key == "tuning") {
      count(state.tuning);
      has_tuning = true;
    } else if (key == "stage") {
      standing(state.stage, state.ending);
      has_stage = true;
    } else if (key == "at") {
      // A stage; an ending there, which an older version recorded for a stop that came just
      // after an undo ("stopped in undone"), stands for none.
      understood = understood && (stage || ending);
      at = stage.value_or(Stage::none);
    } else if (key == "pid") {
      understood = understood && whole && *whole >= 0;
      if (understood) state.pid = *whole;
    } else if (key == "began") {
      time(state.began);
    } else if (key == "since") {
      time(state.since);
    } else if (key == "runs") {
      count(state.runs);
    } else if (key == "chain-tuner") {
      ended(state.chain_tuner);
    } else if (key == "yellow-fixer") {
      ended(state.yellow_fixer);
    } else if (key == "reason") {
      state.reason = value;
    } else if (key == "undone-to") {
      understood = understood && (value == "before" || value == "original");
      state.undone_to = value;
    } else if (key == "undoing") {
      understood = understood && (value == "before" || value == "original");
      state.undoing = value;
    } else if (key == "chain-tuner-hours" || key == "yellow-fixer-hours") {
      understood = understood && parse_hours(value);
      (key == "chain-tuner-hours" ? state.chain_tuner_hours : state.yellow_fixer_hours) = value;
    } else if (key == "warning") {
      state.warning = value;
    } else if (key == "request") {
      understood = understood && !value.empty() && value.size() <= 64;
      state.request = value;
    } else if (key == "previous-tuning") {
      count(state.previous_tuning);
    } else if (key == "previous-stage") {
      standing(state.previous_stage, state.previous_ending);
    } else if (key == "previous-ended") {
      time(state.previous_ended);
    }  // other keys: written by a later version, passed over
    if (!understood) {
      problem = "line " + std::to_string(number) + " is not understood: " + printable(line, 60);
      return std::nullopt;
    }
  }
  if (!has_tuning || !has_stage) {
    problem = has_tuning ? "no stage" : "no tuning number";
    return std::nullopt;
  }
  // Only a tuning that ended early stands where it ended; elsewhere "at" says nothing.
  if (state.ended_early()) state.stage = at;
  // Tunings are numbered from 1, as the kept logs name them: at most nine digits.
  if ((state.tuning == 0) != state.no_tuning() || state.tuning > last_tuning_number) {
    problem = "tuning " + std::to_string(state.tuning) + " cannot be at stage " +
              standing_name(state.stage, state.ending);
    return std::nullopt;
  }
  return state;
}

std::string format_state(const SessionState& state) {
  std::string text;
  auto put = [&](const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += one_line(value);
    text += '\n';
  };
  put("tuning", std::to_string(state.tuning));
  put("stage", standing_name(state.stage, state.ending));
  if (state.ended_early() && state.stage != Stage::none) put("at", stage_name(state.stage));
  put("pid", std::to_string(state.pid));
  put("began", std::to_string(state.began));
  put("since", std::to_string(state.since));
  put("runs", std::to_string(state.runs));
  if (state.chain_tuner) put("chain-tuner", describe(*state.chain_tuner));
  if (state.yellow_fixer) put("yellow-fixer", describe(*state.yellow_fixer));
  if (!state.reason.empty()) put("reason", state.reason);
  if (!state.undone_to.empty()) put("undone-to", state.undone_to);
  if (!state.undoing.empty()) put("undoing", state.undoing);
  if (!state.chain_tuner_hours.empty()) put("chain-tuner-hours", state.chain_tuner_hours);
  if (!state.yellow_fixer_hours.empty()) put("yellow-fixer-hours", state.yellow_fixer_hours);
  if (!state.request.empty()) put("request", state.request);
  if (!state.warning.empty()) put("warning", state.warning);
  if (state.previous_tuning > 0) {
    put("previous-tuning", std::to_string(state.previous_tuning));
    put("previous-stage", standing_name(state.previous_stage, state.previous_ending));
    put("previous-ended", std::to_string(state.previous_ended));
  }
  return text;
}

Result<SessionState> read_state(System& sys) {
  const std::string path = sys.path(state_path);
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) return failure(path, errno);
    return SessionState{};
  }
  if (S_ISLNK(info.st_mode)) {
    return Failure{cat({path, ": a symbolic link, not the session's own file"})};
  }
  FileRead file = read_file(path, state_size_limit);
  if (file.result == FileRead::Result::missing) return SessionState{};
  if (file.result == FileRead::Result::unreadable) return file.failure;
  std::string problem = "larger than a state file can be";
  std::optional<SessionState> state;
  if (file.whole) state = parse_state(file.text, problem);
  if (!state) return Failure{cat({path, ": not a tuning session's state (", problem, ")"})};
  return *state;
}

Result<> write_state(System& sys, const SessionState& state) {
  return store_file(sys, sys.path(state_path), format_state(state));
}

Result<> set_state_aside(System& sys) {
  const std::string path = sys.path(state_path);
  const std::string aside = sys.path(unreadable_state_path);
  if (!name_exists(path)) return {};
  struct stat info;
  // An earlier one goes first; a directory there with something in it stays, and so does
  // the state then.
  if (lstat(aside.c_str(), &info) == 0) {
    int removed = S_ISDIR(info.st_mode) ? rmdir(aside.c_str()) : unlink(aside.c_str());
    if (removed != 0) return failure(aside, errno);
  }
  if (rename(path.c_str(), aside.c_str()) != 0) return failure(path, errno);
  if (!sync_directory(sys, sys.path(config_dir))) return failure(sys.path(config_dir), errno);
  return {};
}

}  // namespace tune::session
