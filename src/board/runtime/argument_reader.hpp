// The command-line kit of the project's tools: options named in a table, read one argument
// at a time ("--name", "--name VALUE", "--name=VALUE", words between them), and the help and
// version printed the same way by every program. What a problem is called, and the status it
// ends with, stays each program's own.
#pragma once

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
// Its texts are views into the arguments, which last as long as the program.
struct Argument {
  enum class Kind { end, option, word, unknown, needs_value, takes_no_value } kind = Kind::end;
  int row = -1;               // the table's row, for option, needs_value and takes_no_value
  std::string_view name;      // the argument up to any "="
  std::string_view text;      // the option's value, the word, or the argument as given
  bool after_dashes = false;  // a word after "--", whatever it says
};

class ArgumentReader {
 public:
  ArgumentReader(int argc, char** argv, int first, ArgumentRules rules = {})
      : argc_(argc), argv_(argv), next_(first), rules_(rules) {}

  bool done() const { return next_ >= argc_; }

  // The next argument; `accepts(row)` says whether a row is an option here.
  template <typename Row, typename Accepts>
  Argument next(std::span<const Row> rows, Accepts accepts) {
    Argument argument;
    while (!done()) {
      std::string_view arg = argv_[next_++];
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
        argument.kind = option_kind(rows[i].value != nullptr, arg, equals, argument.text);
        return argument;
      }
      return argument;
    }
    argument.kind = Argument::Kind::end;
    return argument;
  }

 private:
  // How an option given as `arg` stands, its value (when it takes one) into `value`.
  Argument::Kind option_kind(bool takes_value, std::string_view arg, size_t equals,
                             std::string_view& value);

  int argc_;
  char** argv_;
  int next_;
  ArgumentRules rules_;
  bool dashes_seen_ = false;
};

// True when any argument from `first` on is exactly `option` (or `also`, when given).
bool argument_given(int argc, char** argv, int first, const char* option,
                    const char* also = nullptr);

// Prints `text` (a usage) to standard output: 0, or 1 after a line on standard error when it
// cannot be written.
int print_answer(const char* program_name, const char* text);

// Prints "NAME VERSION", the line every tool's --version prints; and as print_answer, with
// its status.
void print_version(const char* program_name);
int print_version_answer(const char* program_name);

}  // namespace tune
