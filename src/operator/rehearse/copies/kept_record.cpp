// What tune-session keeps on a board, read from a copy: the miner's files before the first
// and the latest tuning, and the logs of the last tunings.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "board_reading.hpp"
#include "kept_logs.hpp"
#include "saved_sets.hpp"

namespace tune::rehearse {

Outcome tuning_outcome(const std::vector<SessionSummary>& runs, std::string& why) {
  why.clear();
  if (runs.empty()) return Outcome::not_run;
  const SessionSummary& last = runs.back();
  if (last.outcome == Outcome::finished && last.program == "chain-tuner") {
    why =
        "chain-tuner finished, but yellow-fixer has not run: the tuning stopped between its "
        "stages";
    return Outcome::interrupted;
  }
  if (last.outcome == Outcome::failed) {
    why = last.program + " failed: its log ends with \"" + last.ending + "\"";
  } else if (last.outcome == Outcome::interrupted) {
    why = last.program + " was interrupted: its log stops at \"" + last.ending +
          "\" without an ending";
  }
  return last.outcome;
}

namespace {

// The directory `name` directly in the copy or in its config/, as the operator copied
// /config; empty when neither is there.
std::string kept_directory(const std::string& dir, const char* name) {
  for (const char* sub : {"/", "/config/"}) {
    std::string path = dir + sub + name;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return path;
  }
  return "";
}

// One set of saved files, read as the programs read them, with the chains its overrides show
// hashing. What the files say is not checked here: they are the board's past, not what it
// runs.
KeptSet read_set(const std::string& backup, const char* name, KeptRecord& kept) {
  KeptSet set;
  set.name = name;
  set.dir = backup + "/" + name;
  BoardReading reading;
  std::vector<Finding> ignored;
  Findings past(ignored);
  BoardFile config{set.dir + "/config.conf", board_file_exists(set.dir + "/config.conf")};
  BoardFile overrides{set.dir + "/manual_freqs.txt",
                      board_file_exists(set.dir + "/manual_freqs.txt")};
  read_chains(reading, config, past);
  read_overrides(reading, overrides, past);
  for (int slot = 0; slot < chain_count; ++slot) {
    ChainSettings& chain = set.chains[slot];
    // A setting the saved config.conf does not give is unknown, not 0.
    if (config.found && reading.state.chain_freq[slot] > 0) {
      chain.freq = reading.state.chain_freq[slot];
    }
    if (config.found && reading.state.chain_voltage[slot] > 0) {
      chain.voltage = reading.state.chain_voltage[slot];
    }
    for (int step : reading.state.chip_override[chip_table_row(slot)]) chain.overrides += step > 0;
    if (reading.hashed[slot] & hashing_in_overrides) kept.hashed[slot] |= hashing_in_kept_overrides;
  }
  return set;
}

// The runs a kept log holds, each named by the log itself, or by the name the log was kept
// under when what is left of it shows nothing only one program writes.
void read_kept_runs(const std::string& path, const std::string& program,
                    std::vector<SessionSummary>& runs, KeptRecord& kept) {
  BoardReading reading;
  std::vector<Finding> ignored;
  Findings past(ignored);
  read_session(reading, BoardFile{path, true}, past, true);
  for (int slot = 0; slot < chain_count; ++slot) {
    for (int chip = 0; chip < chips_per_chain; ++chip) {
      for (const ChipChange& change : reading.history.latest(slot, chip)) {
        if (change.cause != red_cause) continue;
        kept.red_chips.push_back({slot, chip, change.old_freq, change.new_freq});
      }
    }
    kept.hashed[slot] |= reading.hashed[slot];
  }
  for (SessionSummary& run : reading.sessions) {
    if (run.program == "unknown" && (program == "chain-tuner" || program == "yellow-fixer")) {
      run.program = program;
    }
    runs.push_back(std::move(run));
  }
}

// Why `path` could not be read, from the failure's message, without the path said twice.
std::string reason(const UnusableBoard& failure, const std::string& path) {
  std::string what = failure.what();
  for (const std::string& prefix : {path + ": ", path + "/"}) {
    if (what.starts_with(prefix)) return what.substr(prefix.size());
  }
  return what;
}

}  // namespace

KeptRecord read_kept_record(const std::string& dir, int last_tuning, Outcome last_outcome,
                            Findings& findings) {
  KeptRecord kept;
  kept.backup_dir = kept_directory(dir, "tune-backup");
  if (const std::string& backup = kept.backup_dir; !backup.empty()) {
    for (const char* name : {session::original_set, session::before_set}) {
      try {
        if (!kept_directory(backup, name).empty())
          kept.sets.push_back(read_set(backup, name, kept));
      } catch (const UnusableBoard& unreadable) {
        const std::string set = backup + "/" + name;
        findings.add(BoardFile{set, true}, 0,
                     "cannot be read (" + reason(unreadable, set) + "); the set is left out");
      }
    }
  }
  kept.logs_dir = kept_directory(dir, "tune-logs");
  if (kept.logs_dir.empty()) return kept;
  // A link out of the copy is not listed: the report reads nothing of the collecting
  // machine's own through a board's links.
  if (!directory_in_copy(kept.logs_dir)) {
    findings.add(BoardFile{kept.logs_dir, true}, 0,
                 "cannot be read (not a directory in the copy); its tunings are left out");
    return kept;
  }
  if (DIR* listing = opendir(kept.logs_dir.c_str())) {
    closedir(listing);
  } else {
    findings.add(
        BoardFile{kept.logs_dir, true}, 0,
        std::string("cannot be read (") + std::strerror(errno) + "); its tunings are left out");
    return kept;
  }
  std::vector<SessionSummary> runs;
  auto close_tuning = [&] {
    if (kept.tunings.empty()) return;
    KeptTuning& tuning = kept.tunings.back();
    std::string why;
    tuning.outcome = tuning.tuning == last_tuning ? last_outcome : tuning_outcome(runs, why);
    runs.clear();
  };
  // A link or a pipe by a kept log's name is listed too: reading it says what it is.
  for (const session::KeptLogFile& log : session::list_kept_logs(kept.logs_dir, true)) {
    if (kept.tunings.empty() || kept.tunings.back().tuning != log.tuning) {
      close_tuning();
      kept.tunings.push_back({log.tuning, Outcome::not_run, {}});
    }
    std::string path = kept.logs_dir + "/" + log.name;
    kept.tunings.back().logs.push_back(path);
    try {
      read_kept_runs(path, log.program, runs, kept);
    } catch (const UnusableBoard& unreadable) {
      findings.add(BoardFile{path, true}, 0,
                   "cannot be read (" + reason(unreadable, path) +
                       "); the tuning's outcome is from its other logs");
    }
  }
  close_tuning();
  return kept;
}

}  // namespace tune::rehearse
