// tune-session: the life of one tuning on a board, from the command line.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <string>

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

// A command's options as the usage shows them: " [--name]" or " [--name=VALUE]" each.
std::string option_synopsis(const char* command) {
  std::string text;
  for (const OptionRow& row : option_rows) {
    if (std::strcmp(row.command, command) != 0) continue;
    text += cat({" [", row.name, row.value ? "=" : "", row.value ? row.value : "", "]"});
  }
  return text;
}

std::string usage() {
  return cat(
      {"Usage: tune-session COMMAND [OPTION...]\n"
       "       tune-session --help | --version\n"
       "Runs one tuning of the miner on this board from start to end: chain-tuner, then\n"
       "yellow-fixer, one tuning at a time, going on after any interruption, and undoable.\n"
       "\n"
       "Commands:\n"
       "  start",
       option_synopsis("start"),
       "\n"
       "        begin a new tuning (the miner's files are saved first), or go on with the\n"
       "        one under way; detaches and returns at once unless --foreground, which\n"
       "        waits and returns the tuning's outcome. --new begins a new tuning whatever\n"
       "        the state, also one that cannot be read (it is set aside). Each stage's\n"
       "        run is ended past its deadline, in decimal hours up to 8760 (default:\n"
       "        twice the longest run autoTune.conf allows, at least 1); a tuning keeps\n"
       "        the deadlines it was given.\n"
       "  status",
       option_synopsis("status"),
       "\n"
       "        where the tuning stands and what start would do next (any user)\n"
       "  stop  end the running stage; a later start goes on with it\n"
       "  undo [before|original]\n"
       "        put back the miner's files as they were before the latest tuning\n"
       "        (before, the default) or before the first one (original), and restart\n"
       "        the miner; refused while a tuning runs\n"
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
       "See tune-session(8).\n"});
}

int usage_error(std::initializer_list<std::string_view> what) {
  std::fprintf(stderr, "tune-session: %s (see tune-session --help)\n", cat(what).c_str());
  return exit_usage;
}

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

int run_command(int argc, char** argv) {
  if (argc < 2) return usage_error({"a command is missing: start, status, stop or undo"});
  if (argument_given(argc, argv, 1, "--help")) return print_answer("tune-session", usage().c_str());
  const std::string command = argv[1];
  if (command == "--version") return print_version_answer("tune-session");
  if (command == "start" || command == "status") {
    std::optional<Request> request = read_options(argc, argv, command.c_str());
    if (!request) return exit_usage;
    return command == "start" ? start(request->start) : status(request->json);
  }
  if (command == "stop") {
    if (argc > 2) return usage_error({"stop: unknown argument: ", argv[2]});
    return stop();
  }
  if (command == "undo") {
    const char* set = argc > 2 ? argv[2] : "before";
    if (std::strcmp(set, "before") != 0 && std::strcmp(set, "original") != 0) {
      return usage_error({"undo: not before or original: ", set});
    }
    if (argc > 3) return usage_error({"undo: unknown argument: ", argv[3]});
    return undo(set);
  }
  return usage_error({"unknown command: ", command});
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
