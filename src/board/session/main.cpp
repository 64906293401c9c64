// tune-session: the life of one tuning on a board, from the command line.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "argument_reader.hpp"
#include "board_files.hpp"
#include "session.hpp"

namespace {

using namespace tune;
using namespace tune::session;

// What the options of start and status ask for.
struct Request {
  StartOptions start;
  bool json = false;
};

int usage_error(std::initializer_list<std::string_view> what) {
  std::fprintf(stderr, "tune-session: %s (see tune-session --help)\n", cat(what).c_str());
  return exit_usage;
}

// The commands: each its whole row, from which the usage is made and by which it is run. A
// command reads its own arguments (those after its name).
struct CommandRow {
  const char* name;
  const char* words;  // what it takes besides its options, as the usage names it
  const char* what;   // its lines in the usage, each ended by "\n"
  int (*run)(int argc, char** argv);
};

// The options of start and status: one table, from which both the usage's command lines
// and the parsing are made. A row's apply takes its value (nullptr for a flag) and returns
// false when the value is wrong.
struct OptionRow {
  const char* command;
  const char* name;
  const char* value;  // what it takes, as the usage names it; nullptr for a flag
  bool (*apply)(Request& request, const char* value);
};

constexpr OptionRow option_rows[] = {
    {"start", "--foreground", nullptr,
     [](Request& r, const char*) { return r.start.foreground = true; }},
    {"start", "--new", nullptr, [](Request& r, const char*) { return r.start.fresh = true; }},
    {"start", "--chain-tuner-hours", "H",
     [](Request& r, const char* value) {
       r.start.chain_tuner_hours = value;
       return parse_hours(value).has_value();
     }},
    {"start", "--yellow-fixer-hours", "H",
     [](Request& r, const char* value) {
       r.start.yellow_fixer_hours = value;
       return parse_hours(value).has_value();
     }},
    {"status", "--json", nullptr, [](Request& r, const char*) { return r.json = true; }},
};

// The options after a command, each as its row takes it; nullopt after a usage error. Every
// argument is an option here, and a value is the next argument whatever it looks like.
std::optional<Request> read_options(int argc, char** argv, const char* command) {
  Request request;
  ArgumentReader args(argc, argv, 2, {.words = false, .values_may_start_with_dashes = true});
  const std::span<const OptionRow> rows(option_rows);
  auto of_command = [&](const OptionRow& row) { return std::strcmp(row.command, command) == 0; };
  for (Argument arg = args.next(rows, of_command); arg.kind != Argument::Kind::end;
       arg = args.next(rows, of_command)) {
    if (arg.kind == Argument::Kind::unknown || arg.kind == Argument::Kind::takes_no_value) {
      usage_error({command, ": unknown option: ", arg.text});
      return std::nullopt;
    }
    const OptionRow& row = option_rows[arg.row];
    if (arg.kind == Argument::Kind::needs_value) {
      usage_error({row.name, ": a number of hours is missing"});
      return std::nullopt;
    }
    // A value runs to the end of its argument: its view is a whole C string.
    if (!row.apply(request, row.value ? arg.text.data() : nullptr)) {
      usage_error({row.name, ": not a decimal number of hours above 0 and up to 8760: ", arg.text});
      return std::nullopt;
    }
  }
  return request;
}

int run_start(int argc, char** argv) {
  std::optional<Request> request = read_options(argc, argv, "start");
  return request ? start(request->start) : exit_usage;
}

int run_status(int argc, char** argv) {
  std::optional<Request> request = read_options(argc, argv, "status");
  return request ? status(request->json) : exit_usage;
}

int run_stop(int argc, char** argv) {
  if (argc > 2) return usage_error({"stop: unknown argument: ", argv[2]});
  return stop();
}

int run_undo(int argc, char** argv) {
  const char* set = argc > 2 ? argv[2] : "before";
  if (std::strcmp(set, "before") != 0 && std::strcmp(set, "original") != 0) {
    return usage_error({"undo: not before or original: ", set});
  }
  if (argc > 3) return usage_error({"undo: unknown argument: ", argv[3]});
  return undo(set);
}

constexpr CommandRow command_rows[] = {
    {"start", "",
     "        begin a new tuning (the miner's files are saved first), or go on with the\n"
     "        one under way; detaches and returns at once unless --foreground, which\n"
     "        waits and returns the tuning's outcome. --new begins a new tuning whatever\n"
     "        the state, also one that cannot be read (it is set aside). Each stage's\n"
     "        run is ended past its deadline, in decimal hours up to 8760 (default:\n"
     "        twice the longest run autoTune.conf allows, at least 1); a tuning keeps\n"
     "        the deadlines it was given.\n",
     run_start},
    {"status", "", "        where the tuning stands and what start would do next (any user)\n",
     run_status},
    {"stop", "", "        end the running stage; a later start goes on with it\n", run_stop},
    {"undo", " [before|original]",
     "        put back the miner's files as they were before the latest tuning\n"
     "        (before, the default) or before the first one (original), and restart\n"
     "        the miner; refused while a tuning runs\n",
     run_undo},
};

// Every option row names a command of the table: a row that names none does not build.
constexpr bool options_name_commands() {
  for (const OptionRow& option : option_rows) {
    bool found = false;
    for (const CommandRow& command : command_rows) {
      found = found || std::string_view(option.command) == command.name;
    }
    if (!found) return false;
  }
  return true;
}
static_assert(options_name_commands(), "an option row names a command the table does not have");

// Text made when the program is built, from the tables: no code on the board makes it (a text
// longer than its room does not build).
template <size_t Room>
struct BuiltText {
  char text[Room] = {};
  size_t size = 0;
  constexpr void add(const char* piece) {
    while (*piece != '\0') text[size++] = *piece++;
  }
};

template <size_t Room>
constexpr BuiltText<Room> make_usage() {
  BuiltText<Room> usage;
  usage.add(
      "Usage: tune-session COMMAND [OPTION...]\n"
      "       tune-session --help | --version\n"
      "Runs one tuning of the miner on this board from start to end: chain-tuner, then\n"
      "yellow-fixer, one tuning at a time, going on after any interruption, and undoable.\n"
      "\n"
      "Commands:\n");
  for (const CommandRow& command : command_rows) {
    usage.add("  ");
    usage.add(command.name);
    // " [--name]" or " [--name=VALUE]" for each of its options.
    for (const OptionRow& row : option_rows) {
      if (std::string_view(row.command) != command.name) continue;
      usage.add(" [");
      usage.add(row.name);
      if (row.value != nullptr) {
        usage.add("=");
        usage.add(row.value);
      }
      usage.add("]");
    }
    usage.add(command.words);
    usage.add("\n");
    usage.add(command.what);
  }
  usage.add(
      "\n"
      "Files:  /config/tune-session.state (and .unreadable), /config/tune-session.lock,\n"
      "        /config/tune-backup/{before,original}/, /config/tune-logs/,\n"
      "        /tmp/tune-session.log (a detached session's output)\n"
      "Runs:   chain-tuner and yellow-fixer beside tune-session, else in /usr/sbin\n"
      "\n"
      "Exit status: 0 done (for start: detached, or the tuning finished); 1 a stage\n"
      "failed, timed out or was stopped, the state could not be recorded, the miner's\n"
      "files could not be saved or put back, or stop could not end the session; 2 bad\n"
      "usage; 3 another session runs, or the board cannot be used (no /config, no lock,\n"
      "a state that cannot be read: status still shows what it can, no programs).\n"
      "\n"
      "See tune-session(8).\n");
  return usage;
}
// Made twice: once to measure it, once in a room of its size.
constexpr auto usage = make_usage<make_usage<4096>().size + 1>();

// "start, status, stop or undo".
template <size_t Room>
constexpr BuiltText<Room> make_command_names() {
  BuiltText<Room> names;
  for (const CommandRow& command : command_rows) {
    if (names.size > 0) names.add(&command == &std::end(command_rows)[-1] ? " or " : ", ");
    names.add(command.name);
  }
  return names;
}
constexpr auto command_names = make_command_names<make_command_names<256>().size + 1>();

// Standard streams that a caller left closed are opened on /dev/null, so that no file the
// program opens (a pipe, a log) takes their place and gets their output.
void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (opened >= 0 && opened != fd) close(opened);  // lower ones were open already
    }
  }
}

// What the board needs of the command table at run time: the names and the functions (the
// help texts live only in the usage made from them).
struct Dispatch {
  const char* name;
  int (*run)(int argc, char** argv);
};
constexpr auto dispatch = [] {
  std::array<Dispatch, std::size(command_rows)> rows{};
  for (size_t i = 0; i < rows.size(); ++i) rows[i] = {command_rows[i].name, command_rows[i].run};
  return rows;
}();

int run_command(int argc, char** argv) {
  if (argc < 2) return usage_error({"a command is missing: ", command_names.text});
  if (argument_given(argc, argv, 1, "--help")) return print_answer("tune-session", usage.text);
  if (std::strcmp(argv[1], "--version") == 0) return print_version_answer("tune-session");
  for (const Dispatch& command : dispatch) {
    if (std::strcmp(argv[1], command.name) == 0) return command.run(argc, argv);
  }
  return usage_error({"unknown command: ", argv[1]});
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_streams();
  try {
    return run_command(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tune-session: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tune-session: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "tune-session: unexpected failure\n");
  }
  return exit_failed;
}
