// Where the tool writes what it presents: a directory it makes, files it replaces. Either
// failing ends the run (ToolError, status 3) naming the path and the reason.
#pragma once

#include <set>
#include <string>

namespace tune::rehearse {

void make_output_dir(const std::string& dir);
void write_output(const std::string& path, const std::string& text);

// Writes `text` under a temporary name beside `path` and renames it there, so that a reader
// (node_exporter's textfile collector, say) sees the old file or the new one, never a part.
void replace_output(const std::string& path, const std::string& text);
// Fails now, as replace_output would later, when `path` is a directory or its directory
// cannot take a new file: a long run does not end in an error it could have named first.
void check_replaceable(const std::string& path);

// A board's name in what the tool writes for many boards: its directory's own name ("." is
// the current directory's), made unique among `used` by "-2", "-3"...
std::string board_name(const std::string& dir, std::set<std::string>& used);

}  // namespace tune::rehearse
