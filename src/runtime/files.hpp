// Whole-file reading and writing at a fixed path; an unopenable file is a fatal exit.
#pragma once

#include <string>
#include <string_view>

#include "system.hpp"

namespace tune {

// The whole content of a regular file. A file that cannot be opened or is not a regular
// file (a directory or a pipe has no size) ends the run with "Can't read %s\n", status 1.
std::string read_whole_file(System& sys, const char* fixed_path);
// Replaces the file's content in place. A file that cannot be opened for writing ends the
// run with "Can't open %s\n", status 1.
void write_whole_file(System& sys, const char* fixed_path, std::string_view text);

}  // namespace tune
