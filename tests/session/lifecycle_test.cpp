// The life of a tuning run in-process on the simulated machine: the session's lifecycle
// with both programs, cut by a power loss before every write it or they make on /config
// (see cut_points.hpp), then started again as after a reboot; an undo cut the same way; the
// logs kept while a program runs; the deadlines a tuning keeps.
#include "lifecycle.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "board_files.hpp"
#include "chain_tuner.hpp"
#include "command_support.hpp"
#include "cut_points.hpp"
#include "deadlines.hpp"
#include "files.hpp"
#include "harness.hpp"
#include "kept_logs.hpp"
#include "log.hpp"
#include "plan.hpp"
#include "reason_of.hpp"
#include "saved_sets.hpp"
#include "session_lock.hpp"
#include "session_state.hpp"
#include "sim_miner.hpp"
#include "sim_system.hpp"
#include "stage_files.hpp"
#include "undo.hpp"
#include "yellow_fixer.hpp"

namespace tune::session {
namespace {

namespace fs = std::filesystem;

struct DeadlinePassed {};

// The two programs run in-process on the board's simulated machine, in virtual time.
class SimPrograms final : public Programs {
 public:
  explicit SimPrograms(sim::SimSystem& sys) : sys_(sys) {}

  std::string where(Program program) override {
    return std::string("in-process ") + program_name(program);
  }

  Result<ProgramRun> run(Program program, double hours, FunctionRef<void()> meanwhile) override {
    deadlines.push_back(hours);
    ProgramRun run;
    run.ending = ProgramRun::Ending::ended;
    const std::time_t deadline = sys_.now() + static_cast<std::time_t>(hours * 3600);
    auto observer = sys_.observer;
    sys_.observer = [&](sim::SimSystem& s) {
      if (observer) observer(s);
      meanwhile();
      if (s.now() >= deadline) throw DeadlinePassed{};
    };
    try {
      sim::RunResult result =
          sys_.run(program == Program::chain_tuner ? chain_tuner_main : yellow_fixer_main);
      run.end = {false, result.parent_status()};
    } catch (const DeadlinePassed&) {
      run.ending = ProgramRun::Ending::timed_out;
      run.end = {true, SIGTERM};
    }
    sys_.observer = observer;
    return run;
  }

  bool stop_requested() override { return false; }
  bool miner_client_found() override { return true; }

  std::vector<double> deadlines;  // of each run, in hours

 private:
  sim::SimSystem& sys_;
};

const char* const saved[] = {"config.conf", "manual_freqs.txt", "autoTune.conf"};

// A board as a firmware leaves it for a tuning: the miner's files, /config/tune-running, and
// a finishing script that counts its runs (outside /config) and removes the marker.
class Board {
 public:
  Board() { arrange(); }
  // A copy of another board's files, to go on from where that one stands.
  explicit Board(const Board& other) {
    fs::copy(other.sys.root(), sys.root(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    script();
  }

  void arrange() {
    testing::Files files =
        testing::ready_board("restarts_count=1&desired_rate=99999&voltage_from=940");
    files["config/manual_freqs.txt"] = "2:1:70\n";
    files["config/tune-running"] = "";
    files["sbin/finish-tune.sh"] = "#!/bin/sh\n";  // what the simulated shell runs
    testing::write_files(sys.root(), files);
    // Attributes of the firmware's, which every replace of the miner's files carries over (a
    // file system without them has none to carry).
    for (const char* name : {"/config/config.conf", "/config/manual_freqs.txt"}) {
      for (const char* attribute : attributes) {
        setxattr(sys.path(name).c_str(), attribute, attribute_value.data(), attribute_value.size(),
                 0);
      }
    }
    script();
  }
  static constexpr const char* attributes[] = {"user.firmware-a", "user.firmware-b"};
  inline static const std::string attribute_value = std::string(120, 'x');

  // The miner's files that lost an attribute the firmware gave them.
  int files_without_attributes() const {
    int lost = 0;
    char value[256];
    for (const char* name : {"/config/config.conf", "/config/manual_freqs.txt"}) {
      for (const char* attribute : attributes) {
        ssize_t size = getxattr((sys.root() + name).c_str(), attribute, value, sizeof value);
        if (size < 0 && errno == ENOTSUP) continue;
        if (size != static_cast<ssize_t>(attribute_value.size())) ++lost;
      }
    }
    return lost;
  }

  void script() {
    // As a finishing script should: the marker goes first, so that a cut inside the
    // script leaves the tuning wanted only while the script has done nothing.
    sys.finish_script = [](sim::SimSystem& s) {
      cut::Uncounted firmware;
      fs::remove(s.path(tune_running_path));
      std::ofstream(s.root() + "/finish-runs", std::ios::app) << "ran\n";
      return 0;
    };
  }

  int start(StartOptions options = {}) {
    options.foreground = true;
    SessionOutput out;
    out.announce = [this](int, const std::string& line) { said.push_back(line); };
    out.note = [this](const std::string& line) { said.push_back(line); };
    return run_session(sys, programs, options, out);
  }

  // Runs `body` in a child with the power cut before the n-th write on /config (or, without
  // `reboot`, the session and its program killed there); true when the cut came. After a
  // power cut the board reboots: /tmp is empty, the miner starts from its files, time has
  // passed.
  bool cut_at(long n, const std::function<int()>& body, bool reboot = true) {
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
      cut::count_on(sys.path("/config")).cut_at = n;
      _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    sys.set_clock(sys.now() + 24 * 3600);
    if (reboot) {
      fs::remove(sys.path(log_path));
      miner.restart(sys);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == cut::cut_status;
  }

  std::string text(const std::string& fixed) const {
    return const_cast<sim::SimSystem&>(sys).read_file(fixed).value_or("<missing>");
  }
  std::map<std::string, std::string> files_in(const std::string& dir) const {
    std::map<std::string, std::string> files;
    for (const char* name : saved) files[name] = text(dir + name);
    return files;
  }
  std::map<std::string, std::string> state() const { return testing::fields_of(text(state_path)); }
  int finish_runs() const {
    std::ifstream in(sys.root() + "/finish-runs");
    return static_cast<int>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
  }

  sim::SimMiner miner;
  sim::SimSystem sys{miner};
  SimPrograms programs{sys};
  std::vector<std::string> said;
};

using Versions = std::map<std::string, std::set<std::string>>;

// A state without what differs from run to run: its session's pid, and which file the
// firmware's request is.
std::string without_pid(std::string text) {
  for (const char* key : {"\npid=", "\nrequest="}) {
    const size_t at = text.find(key);
    if (at != std::string::npos) text.erase(at + 1, text.find('\n', at + 1) - at);
  }
  return text;
}

// The files a cut must leave whole: each holds what it held before, or a content the uncut
// run gave it; a saved set holds the board's first files or is not there.
long torn_files(const Board& b, const Versions& versions,
                const std::map<std::string, std::string>& before) {
  long torn = 0;
  for (const std::string name :
       {"config.conf", "manual_freqs.txt", "yellow-step", "tune-session.state"}) {
    const std::string now = without_pid(b.text("/config/" + name));
    bool known = (before.count(name) && before.at(name) == now) || now == "<missing>";
    for (const std::string& version :
         versions.count("/" + name) ? versions.at("/" + name) : std::set<std::string>{}) {
      known = known || without_pid(version) == now;
    }
    if (!known) {
      ++torn;
      ADD_FAILURE() << name << " is torn:\n" << now;
    }
  }
  for (const char* set : {"before", "original"}) {
    const std::string dir = std::string("/config/tune-backup/") + set + "/";
    if (!fs::exists(b.sys.root() + dir)) continue;
    auto copies = b.files_in(dir);
    for (const auto& [name, text] : copies) {
      if (text != before.at(name)) {
        ++torn;
        ADD_FAILURE() << dir << name << " holds:\n" << text;
      }
    }
  }
  return torn;
}

// yellow-fixer finished once: its step file is gone, or the finished record says why it is
// still there; and no run of it came after one that logged its finish (a resume from a step
// file it could not remove would run the finishing script again).
void expect_fixer_finished_once(const Board& b) {
  const std::map<std::string, std::string> state = b.state();
  if (b.text("/config/yellow-step") != "<missing>") {
    EXPECT_EQ(state.at("stage"), "finished");
    EXPECT_NE(state.count("reason") ? state.at("reason").find(yellow_step_path) : std::string::npos,
              std::string::npos);
  }
  bool finished = false;
  for (const KeptLogFile& log : list_kept_logs(b.sys.root() + kept_logs_dir)) {
    if (log.program != "yellow-fixer") continue;
    EXPECT_FALSE(finished) << log.name << " runs after a finished yellow-fixer";
    finished = holds_fixer_finish(b.text(std::string(kept_logs_dir) + "/" + log.name));
  }
}

TEST(LifecycleCuts, AWholeTuningFinishesOnceWhereverThePowerGoes) {
  Versions versions;
  long calls = 0;
  std::map<std::string, std::string> before;
  {
    Board uncut;
    before = uncut.files_in("/config/");
    before["tune-session.state"] = "<missing>";
    before["yellow-step"] = "<missing>";
    cut::count_on(uncut.sys.path("/config")).versions = &versions;
    ASSERT_EQ(uncut.start(), 0);
    calls = cut::plan().calls;
    cut::count_on("");
    ASSERT_EQ(uncut.finish_runs(), 1);
    ASSERT_EQ(uncut.state()["stage"], "finished");
  }
  ASSERT_GT(calls, 100);
  long torn = 0, begun_twice = 0, unfounded_finish = 0, unfinished = 0;
  const std::vector<long> points = testing::cut_points(calls, 3);
  for (long at : points) {
    SCOPED_TRACE("power cut before write " + std::to_string(at));
    Board b;
    // Every other cut is a kill of the session rather than a power cut: /tmp keeps the log.
    ASSERT_TRUE(b.cut_at(
        at, [&] { return b.start(); }, at % 2 == 0));
    torn += torn_files(b, versions, before);
    int status = -1;
    for (int starts = 0; starts < 3 && status != 0; ++starts) {
      b.said.clear();
      status = b.start();
      const bool said_finished =
          std::find(b.said.begin(), b.said.end(), "tuning 1 finished") != b.said.end();
      // Never "finished" unless the state on disk holds it.
      if ((status == 0 || said_finished) && b.state()["stage"] != "finished") ++unfounded_finish;
    }
    if (status != 0) ++unfinished;
    if (b.state()["tuning"] != "1") ++begun_twice;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(b.state()["stage"], "finished");
    EXPECT_EQ(b.state()["tuning"], "1");
    EXPECT_EQ(b.files_in("/config/tune-backup/original/"),
              b.files_in("/config/tune-backup/before/"));
    for (const auto& [name, text] : b.files_in("/config/tune-backup/original/")) {
      EXPECT_EQ(text, before.at(name)) << name;
    }
    EXPECT_EQ(b.finish_runs(), 1);
    EXPECT_FALSE(b.sys.exists("/config/yellow"));
    EXPECT_FALSE(b.sys.exists("/config/yellow-step"));
    expect_fixer_finished_once(b);
    for (const auto& entry : fs::directory_iterator(b.sys.path(kept_logs_dir))) {
      EXPECT_EQ(entry.path().filename().string().find(temporary_suffix), std::string::npos);
    }
    // Each run's log is kept under the name of the program that wrote it, once.
    std::set<std::pair<int, int>> runs;
    for (const KeptLogFile& log : list_kept_logs(b.sys.path(kept_logs_dir))) {
      EXPECT_TRUE(runs.insert({log.tuning, log.run}).second) << log.name;
      const std::string text = b.text(std::string(kept_logs_dir) + "/" + log.name);
      const char* other = log.program == "chain-tuner" ? "Fix yellow" : "Auto tune is done";
      EXPECT_EQ(text.find(other), std::string::npos) << log.name << ":\n" << text;
    }
  }
  EXPECT_EQ(unfounded_finish, 0);
  EXPECT_EQ(begun_twice, 0);
  std::cout << "whole tuning in-process: " << points.size() << " of " << calls
            << " cut points tried: " << torn << " torn files, " << begun_twice
            << " tunings begun twice, " << unfounded_finish
            << " finished that the state did not hold, " << unfinished << " not finished\n";
}

// Every write-family call of a whole tuning made to fail in turn, with each failure it can
// give: the files stay whole, "finished" is said only where the state holds it, and with the
// error gone the next start finishes that same tuning.
TEST(LifecycleErrors, AWholeTuningKeepsItsFilesWholeAndItsWordsTrueWhateverCallFails) {
  Versions versions;
  std::vector<std::string> calls;
  std::map<std::string, std::string> before;
  {
    Board uncut;
    before = uncut.files_in("/config/");
    before["tune-session.state"] = "<missing>";
    before["yellow-step"] = "<missing>";
    cut::Plan& plan = cut::count_on(uncut.sys.path("/config"));
    plan.versions = &versions;
    plan.names = &calls;
    plan.count_closes = true;
    ASSERT_EQ(uncut.start(), 0);
    cut::count_on("");
  }
  long torn = 0, unfounded_finish = 0, unfinished = 0;
  const std::vector<testing::Failure> failures = testing::failures_to_try(calls, 14);
  for (const testing::Failure& failure : failures) {
    SCOPED_TRACE(failure.describe());
    Board b;
    Versions given = versions;
    cut::Plan& plan = cut::count_on(b.sys.path("/config"));
    plan.fail_at = failure.at;
    plan.fault = failure.fault;
    plan.lasting = failure.lasting;
    plan.versions = &given;
    plan.count_closes = true;
    const int status = b.start();
    cut::count_on("");
    torn += torn_files(b, given, before);
    EXPECT_EQ(b.files_without_attributes(), 0);
    const bool said_finished =
        std::find(b.said.begin(), b.said.end(), "tuning 1 finished") != b.said.end();
    if ((status == 0 || said_finished) && b.state()["stage"] != "finished") ++unfounded_finish;
    int again = status;
    for (int starts = 0; starts < 3 && again != 0; ++starts) again = b.start();
    if (again != 0) ++unfinished;
    EXPECT_EQ(again, 0);
    EXPECT_EQ(b.state()["stage"], "finished");
    EXPECT_EQ(b.state()["tuning"], "1");
    EXPECT_EQ(b.finish_runs(), 1);
    expect_fixer_finished_once(b);
    for (const auto& [name, text] : b.files_in("/config/tune-backup/original/")) {
      EXPECT_EQ(text, before.at(name)) << name;
    }
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(unfounded_finish, 0);
  std::cout << "whole tuning in-process: " << failures.size() << " failures ("
            << testing::tally(failures) << ") at " << calls.size() << " calls tried: " << torn
            << " torn files, " << unfounded_finish << " finished that the state did not hold, "
            << unfinished << " not finished\n";
}

// A disk that fails every sync of /config itself: nothing recorded there may last, so no
// tuning is said finished; once the disk is mended the next start finishes it. A file system
// that cannot sync a directory at all finishes as any other.
TEST(LifecycleErrors, ATuningIsNotFinishedOnADiskThatFailsToSyncConfig) {
  for (int error : {EIO, EINVAL}) {
    SCOPED_TRACE(error);
    Board b;
    b.sys.directory_sync_error = error;
    const int status = b.start();
    const bool said_finished =
        std::find(b.said.begin(), b.said.end(), "tuning 1 finished") != b.said.end();
    EXPECT_EQ(status == 0 && said_finished, error == EINVAL);
    b.sys.directory_sync_error = 0;
    EXPECT_EQ(b.start(), 0);
    EXPECT_EQ(b.state()["stage"], "finished");
    EXPECT_EQ(b.finish_runs(), 1);
  }
}

// An undo cut anywhere, on boards whose record stands every way it can: the files are
// never shown as back when they are a mix, every state the undo leaves is one that status
// and start accept (or the unreadable one it began with), and the next undo, or the next
// start, finishes it.
// A board after its first tuning, with its files before and after it: what an undo starts
// from.
struct Tuned {
  Board board;
  std::map<std::string, std::string> first = board.files_in("/config/");
  std::map<std::string, std::string> after;
  Tuned() {
    EXPECT_EQ(board.start(), 0);
    after = board.files_in("/config/");
    EXPECT_NE(after, first);
  }
};

TEST(LifecycleCuts, AnUndoCutAnywhereLeavesAStateStartAcceptsAndIsFinishedByTheNext) {
  const Tuned tuned_board;
  const Board& tuned = tuned_board.board;
  const auto& first = tuned_board.first;
  const auto& after = tuned_board.after;
  const std::string unreadable = std::string("\0x\n", 3);
  const struct {
    const char* name;
    const char* state;  // nullptr: as the tuning left it; "": no state file
    bool kept_logs;
  } boards[] = {
      {"its state and kept logs", nullptr, true},
      {"its state, no kept logs", nullptr, false},
      {"no state, kept logs", "", true},
      {"no state, no kept logs", "", false},
      {"a state that cannot be read, kept logs", unreadable.c_str(), true},
      {"a state that cannot be read, no kept logs", unreadable.c_str(), false},
  };
  auto undo = [](Board& b) {
    return undo_board(b.sys, "original", [](bool, const std::string&) {});
  };
  long mixed_shown_done = 0, refused_states = 0, tried = 0;
  for (const auto& board : boards) {
    auto arrange = [&](Board& b) {
      if (board.state != nullptr) {
        b.sys.remove_file(state_path);
        if (*board.state != '\0' || board.state == unreadable.c_str()) {
          b.sys.write_file(state_path, board.state == unreadable.c_str() ? unreadable : "");
        }
      }
      if (!board.kept_logs) fs::remove_all(b.sys.path(kept_logs_dir));
    };
    long calls = 0;
    {
      Board uncut(tuned);
      arrange(uncut);
      cut::count_on(uncut.sys.path("/config"));
      ASSERT_EQ(undo(uncut), 0) << board.name;
      calls = cut::plan().calls;
      cut::count_on("");
      ASSERT_EQ(uncut.files_in("/config/"), first);
      ASSERT_EQ(uncut.state()["stage"], "undone");
    }
    for (long at : testing::cut_points(calls, 4)) {
      for (bool by_start : {false, true}) {
        SCOPED_TRACE(std::string(board.name) + ": power cut before write " + std::to_string(at) +
                     (by_start ? ", then start" : ", then undo"));
        ++tried;
        Board b(tuned);
        arrange(b);
        ASSERT_TRUE(b.cut_at(at, [&] { return undo(b); }));
        auto state = b.state();
        const auto now = b.files_in("/config/");
        // Recorded as undone only once every file is back; else the undo stands recorded as
        // under way, or nothing had changed yet.
        const bool consistent = state.count("undoing")       ? true
                                : state["stage"] == "undone" ? now == first
                                                             : now == after;
        if (!consistent) ++mixed_shown_done;
        EXPECT_TRUE(consistent) << "stage " << state["stage"];
        const Result<SessionState> read = read_state(b.sys);
        const bool as_it_began = b.text(state_path) == unreadable;
        if (!read && !as_it_began) ++refused_states;
        EXPECT_TRUE(read || as_it_began) << reason_of(read);
        if (by_start && read) {
          const bool undo_began = state.count("undoing") || state["stage"] == "undone";
          ASSERT_EQ(b.start(), 0);
          // An undo that began was finished first: the new tuning saved the first files as
          // its before/; one cut before it began changed nothing.
          EXPECT_EQ(b.files_in("/config/tune-backup/before/"), undo_began ? first : after);
          EXPECT_EQ(b.state()["stage"], "finished");
        } else {
          EXPECT_EQ(undo(b), 0);
          EXPECT_EQ(b.files_in("/config/"), first);
          EXPECT_EQ(b.state()["stage"], "undone");
          EXPECT_EQ(b.state().count("undoing"), 0u);
          EXPECT_EQ(reason_of(read_state(b.sys)), "");
        }
      }
    }
  }
  EXPECT_EQ(mixed_shown_done, 0);
  EXPECT_EQ(refused_states, 0);
  std::cout << "undo in-process on " << std::size(boards) << " boards: " << tried
            << " cuts tried, each then undone or started again: " << mixed_shown_done
            << " mixes shown as undone, " << refused_states << " states refused\n";
}

// Every write-family call of an undo made to fail in turn, with each failure it can give:
// it says the files are back only where they are and the state records it, else the files
// are as they were or the undo is recorded as under way; the state stays one start accepts,
// and with the error gone the next undo puts every file back.
TEST(LifecycleErrors, AnUndoSaysBackOnlyWhereEveryFileIsBack) {
  const Tuned tuned_board;
  const Board& tuned = tuned_board.board;
  const auto& first = tuned_board.first;
  const auto& after = tuned_board.after;
  std::vector<std::string> calls;
  {
    Board uncut(tuned);
    cut::Plan& plan = cut::count_on(uncut.sys.path("/config"));
    plan.names = &calls;
    plan.count_closes = true;
    ASSERT_EQ(undo_board(uncut.sys, "original", [](bool, const std::string&) {}), 0);
    cut::count_on("");
  }
  long shown_back_wrongly = 0;
  const std::vector<testing::Failure> failures = testing::failures_to_try(calls, 3);
  for (const testing::Failure& failure : failures) {
    SCOPED_TRACE(failure.describe());
    Board b(tuned);
    cut::Plan& plan = cut::count_on(b.sys.path("/config"));
    plan.fail_at = failure.at;
    plan.fault = failure.fault;
    plan.lasting = failure.lasting;
    plan.count_closes = true;
    std::vector<std::string> said;
    const int status =
        undo_board(b.sys, "original", [&](bool, const std::string& line) { said.push_back(line); });
    cut::count_on("");
    const auto now = b.files_in("/config/");
    auto state = b.state();
    const bool said_back = !said.empty() && said.back().find(" are back") != std::string::npos;
    if ((said_back && now != first) || (status == 0 && state["stage"] != "undone")) {
      ++shown_back_wrongly;
      ADD_FAILURE() << "status " << status << ", stage " << state["stage"] << ": " << said.back();
    }
    if (!said_back) {
      EXPECT_TRUE(now == after || state["undoing"] == "original");
    }
    EXPECT_EQ(reason_of(read_state(b.sys)), "");
    ASSERT_EQ(undo_board(b.sys, "original", [](bool, const std::string&) {}), 0);
    EXPECT_EQ(b.files_in("/config/"), first);
    EXPECT_EQ(b.state()["stage"], "undone");
  }
  EXPECT_EQ(shown_back_wrongly, 0);
  std::cout << "undo in-process: " << failures.size() << " failures (" << testing::tally(failures)
            << ") at " << calls.size() << " calls tried: " << shown_back_wrongly
            << " shown back wrongly\n";
}

// The power goes inside the finishing script, after it removed the firmware's request and
// before the session recorded the finish. Later the firmware asks for a tuning: the next
// start records the first as finished and begins the second, and the script runs once for
// each. Had the script not removed the request yet, that start runs it instead.
TEST(LifecycleFinish, ARequestMadeAfterACutFinishBeginsTheNextTuning) {
  for (bool removed_first : {true, false}) {
    SCOPED_TRACE(removed_first ? "the request removed, then the cut" : "the cut, first thing");
    Board b;
    ASSERT_TRUE(b.cut_at(0, [&] {
      b.sys.finish_script = [&](sim::SimSystem& s) {
        if (removed_first) {
          cut::Uncounted firmware;
          fs::remove(s.path(tune_running_path));
          std::ofstream(s.root() + "/finish-runs", std::ios::app) << "ran\n";
        }
        _exit(cut::cut_status);
        return 0;
      };
      return b.start();
    }));
    b.script();
    EXPECT_EQ(b.state()["stage"], "yellow-fixer");
    EXPECT_EQ(b.sys.exists(tune_running_path), !removed_first);
    if (removed_first) b.sys.write_file(tune_running_path, "");  // the firmware asks again
    ASSERT_EQ(b.start(), 0);
    EXPECT_EQ(b.state()["stage"], "finished");
    EXPECT_EQ(b.state()["tuning"], removed_first ? "2" : "1");
    EXPECT_EQ(b.finish_runs(), removed_first ? 2 : 1);
    EXPECT_FALSE(b.sys.exists(tune_running_path));
  }
}

// A long run's log is kept while it runs: a cut loses at most the last interval of it.
TEST(LifecycleLogs, ARunningProgramsLogIsKeptEveryTenMinutes) {
  Board b;
  // Long waits after each restart: a run of hours.
  b.sys.write_file("/config/autoTune.conf",
                   "restarts_count=3&desired_rate=99999&wait_after_restart=1500");
  const std::time_t cut_time = b.sys.now() + 50 * 60;
  ASSERT_TRUE(b.cut_at(0, [&] {
    b.sys.before_sleep = [&](sim::SimSystem& s) {
      if (s.now() < cut_time) return;
      fs::copy_file(s.path(log_path), s.root() + "/live-log");
      std::ofstream(s.root() + "/cut-time") << s.now();
      _exit(cut::cut_status);
    };
    return b.start();
  }));
  const std::string live = b.text("/live-log");
  const std::string kept = b.text("/config/tune-logs/0001-1-chain-tuner.log");
  long long cut = std::stoll(b.text("/cut-time"));
  ASSERT_NE(kept, "<missing>");
  EXPECT_TRUE(live.starts_with(kept));
  // Every entry older than the interval before the cut is kept.
  std::vector<std::string> entries, stamps;
  ASSERT_TRUE(sim::split_log_entries(live, entries, &stamps));
  size_t old_enough = 0;
  for (const std::string& stamp : stamps) {
    if (*read_log_stamp(stamp + " ") - sim::sim_epoch <=
        cut - sim::sim_epoch - keep_interval_seconds) {
      ++old_enough;
    }
  }
  std::vector<std::string> kept_entries;
  ASSERT_TRUE(sim::split_log_entries(kept, kept_entries));
  EXPECT_GE(kept_entries.size(), old_enough);
  EXPECT_GT(old_enough, 0u);
}

// The lock file is root's and 0600 whoever made it: no other user can open it, and so hold
// it to keep tunings from starting.
TEST(LifecycleLock, TheLockFileIsRootsAlone) {
  if (geteuid() != 0) GTEST_SKIP() << "only root gives a file to root";
  Board b;
  const std::string lock = b.sys.path("/config/tune-session.lock");
  std::ofstream(lock).close();
  ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
  fs::permissions(lock, fs::perms(0666));
  ASSERT_EQ(b.start(), 0);
  struct stat info = {};
  ASSERT_EQ(stat(lock.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, 0u);
  EXPECT_EQ(info.st_gid, 0u);
}

// A detached start takes the lock and hands it to its session, then ends, and /proc/locks
// goes on naming the start. The holder is then the session the state names: never the
// ended pid, nor another program.
TEST(LifecycleLock, ALockHandedOnByAnEndedStartIsTheRecordedSessions) {
  Board b;
  const std::string lock = b.sys.path("/config/tune-session.lock");
  int told[2];
  ASSERT_EQ(pipe(told), 0);
  const pid_t start = fork();
  if (start == 0) {
    const int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    if (fork() == 0) {
      prctl(PR_SET_NAME, "tune-session");
      const pid_t session = getpid();
      if (write(told[1], &session, sizeof session) != sizeof session) _exit(1);
      pause();
    }
    _exit(0);
  }
  int ended = -1;
  ASSERT_EQ(waitpid(start, &ended, 0), start);
  ASSERT_EQ(ended, 0);
  pid_t session = 0;
  ASSERT_EQ(read(told[0], &session, sizeof session), static_cast<ssize_t>(sizeof session));
  SessionState state;
  state.tuning = 1;
  state.stage = Stage::chain_tuner;
  state.pid = session;
  ASSERT_EQ(reason_of(write_state(b.sys, state)), "");
  LockHolder holder;
  const Result<bool> held = lock_is_held(b.sys, &holder);
  EXPECT_TRUE(held.value_or(false)) << reason_of(held);
  EXPECT_EQ(holder.pid, session);
  EXPECT_EQ(foreign_holder(b.sys, holder), "");
  kill(session, SIGKILL);
  close(told[0]);
  close(told[1]);
}

// Each run's deadline: the one given to start, kept for the resumes of that tuning; else
// twice the longest run the board's settings allow.
TEST(LifecycleDeadlines, GivenOnesAreKeptAndOthersFollowTheSettings) {
  Board b;
  StartOptions given;
  given.chain_tuner_hours = "2.5";
  ASSERT_EQ(b.start(given), 0);
  ASSERT_EQ(b.programs.deadlines.size(), 2u);
  EXPECT_EQ(b.programs.deadlines[0], 2.5);
  EXPECT_EQ(b.programs.deadlines[1], default_deadline_hours(b.sys, Program::yellow_fixer));
  EXPECT_EQ(b.state()["chain-tuner-hours"], "2.5");
  // A resume without options (as at boot) uses the tuning's own: cut at chain-tuner's first
  // sleep, the next start runs it again.
  Board cut;
  ASSERT_TRUE(cut.cut_at(0, [&] {
    cut.sys.before_sleep = [](sim::SimSystem&) { _exit(cut::cut_status); };
    return cut.start(given);
  }));
  ASSERT_EQ(cut.start(), 0);
  ASSERT_EQ(cut.programs.deadlines.size(), 2u);
  EXPECT_EQ(cut.programs.deadlines[0], 2.5);
  // A new tuning starts without them.
  b.programs.deadlines.clear();
  ASSERT_EQ(b.start(), 0);
  EXPECT_EQ(b.programs.deadlines[0], default_deadline_hours(b.sys, Program::chain_tuner));
}

TEST(LifecycleDeadlines, TwiceTheLongestRunTheSettingsAllow) {
  const struct {
    const char* settings;
    Program program;
    double hours;
  } cases[] = {
      // 10 iterations of (5 + 180 s restart, 8 passes + 1 green minute of 60 s)
      {"", Program::chain_tuner, 2 * 10 * (185 + 9 * 60) / 3600.0},
      // 16 restarts of 185 s, 15 iterations of 12 passes of 10 s
      {"", Program::yellow_fixer, 2 * (16 * 185 + 15 * 120) / 3600.0},
      {"restarts_count=1&wait_after_restart=600", Program::yellow_fixer,
       2 * (16 * 605 + 15 * 120) / 3600.0},
      {"restarts_count=0", Program::chain_tuner, 1},  // at least an hour
      {"restarts_count=2147483647&voltage_from=-2147483648", Program::chain_tuner, 8760},
      {"wait_after_restart=-50", Program::yellow_fixer, 2 * (16 * 5 + 15 * 120) / 3600.0},
      {"restarts_count=40\nrestarts_count=2", Program::chain_tuner,
       std::max(1.0, 2 * 2 * (185 + 9 * 60) / 3600.0)},  // the last line counts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings);
    Board b;
    b.sys.write_file("/config/autoTune.conf", c.settings);
    EXPECT_NEAR(default_deadline_hours(b.sys, c.program), c.hours, 1e-9);
  }
  Board missing;
  missing.sys.remove_file("/config/autoTune.conf");
  EXPECT_NEAR(default_deadline_hours(missing.sys, Program::yellow_fixer),
              2 * (16 * 185 + 15 * 120) / 3600.0, 1e-9);
}

}  // namespace
}  // namespace tune::session
