// The command-line kit of the project's tools: options named in a table, read one argument
// at a time ("--name", "--name VALUE", "--name=VALUE", words between them), and the help and
// version printed the same way by every program. What a problem is called, and the status it
// ends with, stays each program's own.
#pragma once

#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace tune {

// How a tool reads its arguments.
struct ArgumentRules {
  // Words stand between the options, "--" ends the options and "-h" is "--help". Without,
  // every argument must be an option.
  bool words = true;
  // "--name VALUE" takes the next argument even when it starts with "--".
  bool values_may_start_with_dashes = false;
};

// One argument read against a table whose rows have `name` and `value` (nullptr for a flag).
struct Argument {
  enum class Kind { end, option, word, unknown, needs_value, takes_no_value } kind = Kind::end;
  int row = -1;               // the table's row, for option, needs_value and takes_no_value
  std::string name;           // the argument up to any "="
  std::string text;           // the option's value, the word, or the argument as given
  bool after_dashes = false;  // a word after "--", whatever it says
};

class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv, int first, ArgumentRules rules = {})
      : argc_(argc), argv_(argv), next_(first), rules_(rules) {}

  bool done() const { return next_ >= argc_; }
  // The arguments not read yet.
  std::span<char*> rest() const {
    return {argv_ + next_, static_cast<size_t>(argc_ > next_ ? argc_ - next_ : 0)};
  }

  // The next argument; `accepts(row)` says whether a row is an option here.
  template <typename Row, typename Accepts>
  Argument next(std::span<const Row> rows, Accepts accepts) {
    Argument argument;
    while (!done()) {
      std::string arg = argv_[next_++];
      argument.text = arg;
      if (rules_.words && (dashes_seen_ || arg == "-" || !arg.starts_with("-"))) {
        argument.kind = Argument::Kind::word;
        argument.after_dashes = dashes_seen_;
        return argument;
      }
      if (rules_.words && arg == "--") {
        dashes_seen_ = true;
        continue;
      }
      if (rules_.words && arg == "-h") arg = "--help";
      const size_t equals = arg.find('=');
      argument.name = arg.substr(0, equals);
      argument.kind = Argument::Kind::unknown;
      if (!arg.starts_with("--")) return argument;
      for (size_t i = 0; i < rows.size(); ++i) {
        if (!accepts(rows[i]) || argument.name != rows[i].name) continue;
        argument.row = static_cast<int>(i);
        if (rows[i].value == nullptr) {
          argument.kind =
              equals == std::string::npos ? Argument::Kind::option : Argument::Kind::takes_no_value;
        } else if (equals != std::string::npos) {
          argument.kind = Argument::Kind::option;
          argument.text = arg.substr(equals + 1);
        } else if (!done() && (rules_.values_may_start_with_dashes ||
                               !std::string_view(argv_[next_]).starts_with("--"))) {
          argument.kind = Argument::Kind::option;
          argument.text = argv_[next_++];
        } else {
          argument.kind = Argument::Kind::needs_value;
        }
        return argument;
      }
      return argument;
    }
    argument.kind = Argument::Kind::end;
    return argument;
  }

 private:
  int argc_;
  char** argv_;
  int next_;
  ArgumentRules rules_;
  bool dashes_seen_ = false;
};

// True when any argument from `first` on is exactly `option` (or `also`, when given).
bool argument_given(int argc, char** argv, int first, const char* option,
                    const char* also = nullptr);

// Prints `text` (a usage, a version line) to standard output: 0, or 1 after a line on
// standard error when it cannot be written.
int print_answer(const char* program_name, const std::string& text);

// "NAME VERSION\n", the line every tool's --version prints.
std::string version_line(const char* program_name);

}  // namespace tune
