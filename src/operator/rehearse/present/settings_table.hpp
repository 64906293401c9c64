// The settings of /config/autoTune.conf as a table, from their declarations: as the tool
// prints it, and as docs/board.md and the manual pages hold it, so that the docs can be
// made from it and held to it.
#pragma once

#include <string>

namespace tune::rehearse {

std::string settings_table_text();
std::string settings_table_markdown();
std::string settings_table_roff();

}  // namespace tune::rehearse
