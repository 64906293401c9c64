// The record of the tuning on this board: which tuning it is, where it stands, when each
// stage began and how each program ended. One small file of "key=value" lines in /config,
// replaced durably at every change, so that after any cut the next start knows where to
// go on.
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "result.hpp"
#include "system.hpp"

namespace tune::session {

inline constexpr char state_path[] = "/config/tune-session.state";

// Where a tuning stands: the stage at work, or the one it ended early in.
enum class Stage {
  none,  // in none: no tuning has run on this board, or it finished or was undone
  saving,
  chain_tuner,
  yellow_fixer,
};

// How a tuning ended. Failed, stopped and timed out end it early: it stands in the stage it
// ended in, and the next start goes on there.
enum class Ending {
  finished,
  failed,
  stopped,
  timed_out,
  undone,
};

// The names the state file, status and messages show ("chain-tuner", "timed out", ...).
const char* stage_name(Stage stage);
const char* ending_name(Ending ending);
// What the state file's "stage=" holds: how the tuning ended, else where it stands.
const char* standing_name(Stage stage, const std::optional<Ending>& ending);

// How a program ended: its exit status, or the signal that ended it.
struct ProgramEnd {
  bool by_signal = false;
  int number = 0;
  bool operator==(const ProgramEnd&) const = default;
};
std::string describe(const ProgramEnd& end);  // "status 1", "signal 15"

// Tunings are numbered from 1 up to this, as the kept logs' names hold them.
inline constexpr int last_tuning_number = 999999999;

struct SessionState {
  int tuning = 0;  // counts the tunings begun on this board, from 1
  Stage stage = Stage::none;
  std::optional<Ending> ending;  // none while at work, or before any tuning
  long long pid = 0;             // the session that last worked on this tuning
  std::time_t began = 0;         // the tuning
  std::time_t since = 0;         // the current stage
  int runs = 0;                  // program runs of this tuning: numbers the kept logs
  std::optional<ProgramEnd> chain_tuner, yellow_fixer;  // their last runs in this tuning
  std::string reason;                                   // for failed: one line saying why
  std::string undone_to;                                // for undone: "before" or "original"
  // While an undo puts a set's files back: "before" or "original". A cut leaves it, and the
  // next undo or start finishes that undo first.
  std::string undoing;
  // The deadlines given to the start that began or last went on with this tuning, in
  // hours as given (see parse_hours; empty: none); a resume without options uses them.
  std::string chain_tuner_hours, yellow_fixer_hours;
  // The firmware's request (/config/tune-running) as yellow-fixer last started: which file it
  // was (request_identity), "none" when there was none, empty when not recorded (an earlier
  // version). A request that is another file by the time a cut finish is recorded was made
  // after yellow-fixer's finishing script had removed this one.
  std::string request;
  // What the session found wrong on the board that a tuning cannot mend (no bmminer-api on
  // its PATH, a finishing script that is missing or left /config/tune-running): one line.
  std::string warning;
  // The tuning before this one, for status: its number, how it ended (or the stage a new
  // tuning left it in), and when.
  int previous_tuning = 0;
  Stage previous_stage = Stage::none;
  std::optional<Ending> previous_ending;
  std::time_t previous_ended = 0;

  // No tuning recorded: none at work, none ended.
  bool no_tuning() const { return stage == Stage::none && !ending; }
  // At work: the sets being saved, or a program running.
  bool at_work() const { return stage != Stage::none && !ending; }
  // Failed, stopped or timed out.
  bool ended_early() const;
};

// A deadline in hours as the options and the state give it: a decimal number above 0 and
// up to a year, digits with at most one point. Kept as text, so that it reads back the same.
std::optional<double> parse_hours(const std::string& text);
inline constexpr double longest_deadline_hours = 8760;

// Reads the text of a state file. Keys it does not know are passed over (a later version
// may add some); a known key with a value it cannot take, a line without "=", or a text
// without tuning number or stage gives no state and says why in `problem`.
std::optional<SessionState> parse_state(const std::string& text, std::string& problem);
std::string format_state(const SessionState& state);

// Reads the state file: a missing file is no tuning. A state that is not understood is
// never taken for none: that would begin the numbering anew over the saved sets and logs it
// names. Nor is a name that is not a regular file (a symbolic link, even a dangling one, a
// pipe, a directory).
Result<SessionState> read_state(System& sys);
// Stores the state durably.
Result<> write_state(System& sys, const SessionState& state);
// Moves a state that cannot be read out of the way, to tune-session.state.unreadable beside
// it (replacing an earlier one), so that a new one can take its name; the link itself for a
// symbolic link. Done also when there was nothing there.
inline constexpr char unreadable_state_path[] = "/config/tune-session.state.unreadable";
Result<> set_state_aside(System& sys);

}  // namespace tune::session
