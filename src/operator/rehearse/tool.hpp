// tune-rehearse as a whole, short of its process: the command chosen from the command line,
// its options read, and the call into the command. Usage errors and failures are thrown as
// ToolError; main turns them into one line and a status.
#pragma once

namespace tune::rehearse {

// Runs the tool on its arguments (argv[0] is its name) and returns its exit status.
int run_tool(int argc, char** argv);

struct ToolError;
// How the tool ends on a failure: what it printed so far out, then its one line on standard
// error; the failure's status.
int end_with(const ToolError& failure);

}  // namespace tune::rehearse
