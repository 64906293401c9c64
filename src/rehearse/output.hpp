// Where the tool writes what it presents: a directory it makes, files it replaces. Either
// failing ends the run (ToolError, status 3) naming the path and the reason.
#pragma once

#include <string>

namespace tune::rehearse {

void make_output_dir(const std::string& dir);
void write_output(const std::string& path, const std::string& text);

}  // namespace tune::rehearse
