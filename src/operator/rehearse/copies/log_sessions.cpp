#include <array>
#include <bitset>
#include <optional>
#include <string_view>

#include "board_reading.hpp"
#include "chain_tuner_messages.hpp"
#include "log.hpp"
#include "miner_restart.hpp"
#include "text.hpp"
#include "yellow_fixer_messages.hpp"

namespace tune::rehearse {

namespace {

namespace tuner = chain_tuner_log;
namespace fixer = yellow_fixer_log;

// Entries only chain-tuner writes, and only yellow-fixer: which program wrote a log.
constexpr const auto& chain_tuner_only = tuner::every_entry;
constexpr const auto& yellow_fixer_only = fixer::every_entry;
constexpr const char* yellow_fixer_endings[] = {fixer::three_successful, fixer::check_limit,
                                                fixer::rate_below_desired};

// Whether the entry is one of the messages, whole (or, with `cut`, perhaps cut short).
template <typename Messages>
bool is_one_of(const std::string& entry, const Messages& messages, bool cut = false) {
  for (const char* message : messages) {
    if (cut ? may_be_cut_from(message, entry) : read_message(message, entry).has_value()) {
      return true;
    }
  }
  return false;
}

bool is_one_of(const std::string& entry, std::initializer_list<const char*> messages,
               bool cut = false) {
  return is_one_of<std::initializer_list<const char*>>(entry, messages, cut);
}

// Whose a cut entry is: a program's when it can be the start of that program's own entries
// only, not of the other's, nor of those both write.
void recognise_cut(const std::string& entry, bool& by_tuner, bool& by_fixer) {
  const bool tuner = is_one_of(entry, chain_tuner_only, true);
  const bool fixer = is_one_of(entry, yellow_fixer_only, true);
  if (tuner == fixer || is_one_of(entry, fatal_log::all, true) ||
      is_one_of(entry, {catch_up_message, not_started_message}, true)) {
    return;
  }
  by_tuner |= tuner;
  by_fixer |= fixer;
}

// One log read an entry at a time: what its session shows, and the chip changes it names.
class SessionReader {
 public:
  SessionReader(const BoardFile& file, Findings& findings, BoardReading& board)
      : file_(file), findings_(findings), changes_(board.history), hashed_(board.hashed) {}

  void line(const BoardLine& line) {
    std::string_view rest = line.text;
    if (!log_stamp_shaped(rest)) {
      if (!unstamped_reported_) {
        findings_.add(file_, line.number, "no time stamp: not an entry the programs wrote");
        unstamped_reported_ = true;
      }
      return;
    }
    // An entry runs to its line break, or up to the next stamp when it has none.
    while (!rest.empty()) {
      size_t end = log_stamp_length;
      while (end < rest.size() && !log_stamp_shaped(rest.substr(end))) ++end;
      bool last = end >= rest.size();
      entry(line, rest.substr(0, end), last && line.ended && !line.cut);
      rest.remove_prefix(std::min(end, rest.size()));
    }
  }

  std::optional<SessionSummary> finish() {
    if (entries_ == 0) return std::nullopt;
    SessionSummary session;
    session.log_file = file_.path;
    session.program = by_fixer_ ? "yellow-fixer" : by_tuner_ ? "chain-tuner" : "unknown";
    // The chain tuner logs "GET STAT" after each restart. The yellow fixer says why it
    // restarts, and restarts once more at a fresh start (one not resumed from a stored step).
    session.restarts = by_fixer_   ? fixer_restarts_ + (resumed_ ? 0 : 1)
                       : by_tuner_ ? tuner_restarts_
                                   : 0;
    session.span_seconds = first_ && last_ ? *last_ - *first_ : 0;
    session.last_stamp = last_;
    std::string shown = last_entry_;
    if (!shown.empty() && shown.back() == '\n') shown.pop_back();
    session.ending = printable(shown);
    session.outcome = outcome();
    return session;
  }

 private:
  void entry(const BoardLine& line, std::string_view text, bool ended) {
    std::string stamp(text.substr(0, log_stamp_length - 1));
    std::optional<long long> seconds = read_log_stamp(text);
    if (!seconds && !impossible_reported_) {
      findings_.add(file_, line.number,
                    "impossible time stamp \"" + printable(stamp) + "\": no span is taken from it");
      impossible_reported_ = true;
    }
    if (seconds) {
      if (!first_) first_ = seconds;
      last_ = seconds;
    }
    std::string body(text.substr(std::min(text.size(), log_stamp_length)));
    if (ended) body += '\n';
    ++entries_;
    last_entry_ = body;
    changes_.add(seconds ? stamp : "", body);
    by_tuner_ |= is_one_of(body, chain_tuner_only);
    by_fixer_ |= is_one_of(body, yellow_fixer_only);
    if (!ended) recognise_cut(body, by_tuner_, by_fixer_);
    if (std::optional<std::vector<double>> step = read_message(fixer::resuming, body)) {
      resumed_ |= step->front() != 0;
    }
    fixer_restarts_ += is_one_of(body, {fixer::yellow_restart, fixer::red_restart});
    tuner_restarts_ += is_one_of(body, {tuner::get_stat});
    note_hashing(body);
  }

  // chain-tuner counts the red chips of a chain whose rate is not 0: fewer than all of its
  // chips red, and the chain was hashing then. yellow-fixer names each red chip once an
  // iteration, which ends with its count of persistently yellow chips: a chain without any
  // rate has all of its chips red, so one some of whose chips, not all, are named in an
  // iteration was hashing; so was one with a chip still red at a rate above 0.
  void note_hashing(const std::string& body) {
    for (const char* counted : {tuner::reds_counted, tuner::too_many_reds}) {
      std::optional<std::vector<double>> values = read_message(counted, body);
      if (!values || values->size() != 2 || (*values)[1] >= chips_per_chain) continue;
      for (int slot = 0; slot < chain_count; ++slot) {
        if (chain_number_of(slot) == (*values)[0]) hashed_[slot] |= hashing_in_chain_tuner_log;
      }
    }
    if (std::optional<LoggedChipChange> red = logged_chip_change(body)) {
      named_red_[red->slot].set(red->chip);
      std::optional<std::vector<double>> forced = read_message(fixer::forced_chip, body);
      if (forced && (*forced)[3] > 0) hashed_[red->slot] |= hashing_in_yellow_fixer_log;
    } else if (read_message(fixer::persistent_yellow, body)) {
      for (int slot = 0; slot < chain_count; ++slot) {
        if (named_red_[slot].any() && !named_red_[slot].all()) {
          hashed_[slot] |= hashing_in_yellow_fixer_log;
        }
      }
      named_red_ = {};
    } else if (is_one_of(body, {fixer::resuming, fixer::fix_yellow})) {
      named_red_ = {};  // a run's start: an iteration cut short before it tells nothing
    }
  }

  Outcome outcome() const {
    if (is_one_of(last_entry_, fatal_log::all)) return Outcome::failed;
    if (by_fixer_) {
      return is_one_of(last_entry_, yellow_fixer_endings) ? Outcome::finished
                                                          : Outcome::interrupted;
    }
    if (by_tuner_ && is_one_of(last_entry_, {tuner::done})) return Outcome::finished;
    return Outcome::interrupted;  // no ending, or cut in the middle of a line
  }

  const BoardFile& file_;
  Findings& findings_;
  LoggedChanges changes_;
  std::array<unsigned, chain_count>& hashed_;
  std::array<std::bitset<chips_per_chain>, chain_count> named_red_{};  // in this iteration
  bool unstamped_reported_ = false, impossible_reported_ = false;
  std::optional<long long> first_, last_;
  long long entries_ = 0;
  std::string last_entry_;
  bool by_tuner_ = false, by_fixer_ = false, resumed_ = false;
  int tuner_restarts_ = 0, fixer_restarts_ = 0;
};

}  // namespace

void read_session(BoardReading& board, const BoardFile& file, Findings& findings, bool required) {
  if (!file.found) {
    if (required) findings.add(file, 0, "missing: no log of the last run");
    return;
  }
  SessionReader reader(file, findings, board);
  bool crlf = false, empty = true;
  for_each_board_line(
      file,
      [&](const BoardLine& line) {
        empty = false;
        reader.line(line);
      },
      &crlf);
  if (empty) {
    findings.add(file, 0, "empty: the log holds no run");
    return;
  }
  if (crlf) {
    findings.add(file, 1,
                 "lines end in CR LF, not LF: the programs write LF; the log was changed on "
                 "its way (every line; reported once)");
  }
  if (std::optional<SessionSummary> session = reader.finish()) board.sessions.push_back(*session);
}

}  // namespace tune::rehearse
