// The farm's list of boards, as collect-boards -f reads it, and which of them the reported
// copies leave out: a board that was never copied has no copy to report on, so without the
// list it would be silent.
#pragma once

#include <string>
#include <vector>

namespace tune::rehearse {

// The names of the listed boards' copies, in the list's order, as collect-boards names them:
// a line trimmed of blanks (and a CR), "#" lines and blank ones skipped; "[USER@]HOST" is
// copied as HOST, a path as its last part. UnusableBoard ("PATH: reason") when the list
// cannot be read.
std::vector<std::string> read_board_list(const std::string& path);

// For each listed name, the index of the directory among `dirs` that is its copy (the one
// whose last part is the name), or -1 when none is.
std::vector<int> copies_of_listed(const std::vector<std::string>& names,
                                  const std::vector<std::string>& dirs);

// The name collect-boards gives the copy in `dir`: its last part.
std::string copy_name_of(const std::string& dir);

// A farm split into `shards` by the boards' names, as collect-boards --shard splits it: the
// shard (1 to `shards`) of the board whose copy is named `name`. Each byte in turn,
// h = (h * 31 + byte) mod 2147483647; the shard is h mod shards, plus one.
struct Shard {
  int number, of;
};
int shard_of(const std::string& name, int shards);

}  // namespace tune::rehearse
