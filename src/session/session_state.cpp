#include "session_state.hpp"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "board_files.hpp"

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
    {Stage::finished, "finished"},
    {Stage::failed, "failed"},
    {Stage::stopped, "stopped"},
    {Stage::timed_out, "timed out"},
    {Stage::undone, "undone"},
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

std::optional<Stage> stage_named(const std::string& name) {
  for (const auto& entry : stage_names) {
    if (name == entry.name) return entry.stage;
  }
  return std::nullopt;
}

std::string describe(const ProgramEnd& end) {
  return (end.by_signal ? "signal " : "status ") + std::to_string(end.number);
}

Stage SessionState::standing() const {
  bool ended_early = stage == Stage::failed || stage == Stage::stopped || stage == Stage::timed_out;
  return ended_early ? at : stage;
}

SessionState parse_state(const std::string& text) {
  SessionState state;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    std::optional<long long> number = whole_number(value);
    auto set_time = [&](std::time_t& field) {
      if (number) field = static_cast<std::time_t>(*number);
    };
    auto set_count = [&](int& field) {
      if (number && *number >= 0 && *number <= 1000000000) field = static_cast<int>(*number);
    };
    if (key == "tuning") {
      set_count(state.tuning);
    } else if (key == "stage") {
      state.stage = stage_named(value).value_or(Stage::none);
    } else if (key == "at") {
      state.at = stage_named(value).value_or(Stage::none);
    } else if (key == "pid") {
      if (number && *number > 0) state.pid = *number;
    } else if (key == "began") {
      set_time(state.began);
    } else if (key == "since") {
      set_time(state.since);
    } else if (key == "runs") {
      set_count(state.runs);
    } else if (key == "chain-tuner") {
      state.chain_tuner = program_end(value);
    } else if (key == "yellow-fixer") {
      state.yellow_fixer = program_end(value);
    } else if (key == "reason") {
      state.reason = value;
    } else if (key == "undone-to") {
      state.undone_to = value;
    } else if (key == "previous-tuning") {
      set_count(state.previous_tuning);
    } else if (key == "previous-stage") {
      state.previous_stage = stage_named(value).value_or(Stage::none);
    } else if (key == "previous-ended") {
      set_time(state.previous_ended);
    }
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
  put("stage", stage_name(state.stage));
  if (state.at != Stage::none) put("at", stage_name(state.at));
  put("pid", std::to_string(state.pid));
  put("began", std::to_string(state.began));
  put("since", std::to_string(state.since));
  put("runs", std::to_string(state.runs));
  if (state.chain_tuner) put("chain-tuner", describe(*state.chain_tuner));
  if (state.yellow_fixer) put("yellow-fixer", describe(*state.yellow_fixer));
  if (!state.reason.empty()) put("reason", state.reason);
  if (!state.undone_to.empty()) put("undone-to", state.undone_to);
  if (state.previous_tuning > 0) {
    put("previous-tuning", std::to_string(state.previous_tuning));
    put("previous-stage", stage_name(state.previous_stage));
    put("previous-ended", std::to_string(state.previous_ended));
  }
  return text;
}

StateRead read_state(System& sys) {
  StateRead read;
  const std::string path = sys.path(state_path);
  FileRead file = read_file(path, state_size_limit);
  if (file.result == FileRead::Result::unreadable) read.error = file.error;
  if (file.result == FileRead::Result::read) read.state = parse_state(file.text);
  return read;
}

std::string write_state(System& sys, const SessionState& state) {
  return store_file(sys.path(state_path), format_state(state));
}

}  // namespace tune::session
