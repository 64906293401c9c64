// The files that carry a tuning from one stage to the next on the board: the marker
// chain-tuner leaves at its normal end, yellow-fixer's step file (where it resumes), the
// mark that a tuning is running, and the board's own finishing step run at the tuning's
// end. The two programs write and run them; tune-session reads them and runs the last.
#pragma once

namespace tune {

inline constexpr char yellow_marker_path[] = "/config/yellow";
inline constexpr char yellow_marker_command[] = "echo ok > /config/yellow";
inline constexpr char yellow_step_path[] = "/config/yellow-step";
inline constexpr char tune_running_path[] = "/config/tune-running";
inline constexpr char finish_script_path[] = "/sbin/finish-tune.sh";
inline constexpr char finish_command[] = "/bin/sh /sbin/finish-tune.sh";  // runs the script

}  // namespace tune
