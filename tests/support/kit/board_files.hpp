// A board's files as the tests lay them out, by their paths in the board's directory: flat,
// as a copy off the board may hold them ("config.conf", "auto-tune"), or under config/ and
// tmp/ as the board holds them ("config/config.conf", "tmp/auto-tune"), which is also how a
// simulated machine's root and a sandbox keep them.
#pragma once

#include <map>
#include <string>

namespace tune::testing {

using Files = std::map<std::string, std::string>;

// Given as a file's text, leaves that file out (over a default).
inline const std::string absent = "\x01(absent)";

// The miner's config.conf as a board has it: its own lines around all twelve chain lines.
std::string miner_config(int freq, int voltage);

// A board ready for a tuning, under config/: bmminer.conf with the global frequency 650,
// config.conf with every chain at `freq` MHz and `voltage`, and `settings` as autoTune.conf.
Files ready_board(const std::string& settings = "", int freq = 650, int voltage = 910);

// The files of a board copied off after a finished tuning, flat: chain 2's settings, its first
// chip's rate and yellow-fixer's log to its end; `files` over them.
Files finished_copy(const Files& files = {});

// Writes each file under `dir`, making the directories on its way; an `absent` one is not.
void write_files(const std::string& dir, const Files& files);

// A rehearsal's board (config/ and tmp/) copied to `to` as a real one is copied off: flat
// files, no rehearsal marker, no record.
void copy_flat(const std::string& board, const std::string& to);

}  // namespace tune::testing
