// Where the tool writes what it presents: a directory it makes, files it replaces. Either
// failing ends the run (ToolError, status 3) naming the path and the reason.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "function_ref.hpp"

namespace tune::rehearse {

void make_output_dir(const std::string& dir);
void write_output(const std::string& path, const std::string& text);

// Replaces `path` with `text` as the runtime's replace_file does (written and synced beside
// it, then renamed there), so that a reader (node_exporter's textfile collector, say) sees
// the old file or the new one, never a part.
void replace_output(const std::string& path, const std::string& text);
// The same for a text too large to hold: `write` writes it to a file descriptor (false, errno
// set, when it cannot). Where the file is rewritten in place instead (a file with other hard
// links, not a regular file: see replace_file), `whole` gives it as one text (none, errno
// set, when it cannot).
void replace_output(const std::string& path, FunctionRef<bool(int fd)> write,
                    FunctionRef<std::optional<std::string>()> whole);
// Fails now, as replace_output would later, when `path` is a directory or its directory
// cannot take a new file: a long run does not end in an error it could have named first.
void check_replaceable(const std::string& path);
// The directory the file `path` names is replaced in: its link's target's, if it is a link
// ("." for a bare name).
std::string directory_holding(const std::string& path);

// The boards' labels in what the tool writes for them (a metric's "board", a picture's
// name): each board's path relative to `under` when given, else to the deepest directory
// that holds all of them ("rackA/s01"; a single board's own name). The same whatever the
// order the boards come in. A board outside `under` leaves the labels empty and names it in
// `problem`. A farm keeps its other boards when one entry cannot be taken: one board given
// twice (a link beside it: the link is refused) or a name labelled as another board's is
// (the later one, left without a label) is refused, and `refused` says why.
struct Labels {
  std::vector<std::string> labels;
  std::vector<std::string> refused;  // a board's; empty when it is taken
  std::string problem;
};
Labels board_labels(const std::vector<std::string>& dirs, const std::string& under);

}  // namespace tune::rehearse
