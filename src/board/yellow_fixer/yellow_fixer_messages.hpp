// The entries of yellow-fixer's log that other parts read (the report, the rehearsal):
// defined once here, written by the program with them, read back with read_message, so
// that a reworded entry breaks a test rather than an operator's report.
#pragma once

namespace tune::yellow_fixer_log {

inline constexpr char resuming[] = "Resuming tune from step %d\n";
inline constexpr char fix_yellow[] = "Fix yellow\n";  // once the start-up is done
inline constexpr char forced_chip[] =
    "Chip %d on chain %d still red after %d restarts with low hashrate %.2f in a row, decrease "
    "freq to %d\n";
inline constexpr char red_chip[] = "Chip %d on chain %d is red, new freq is %d\n";
inline constexpr char ideal_above[] = "Current ideal rate %.2f is more than desired rate %.2f\n";
inline constexpr char ideal_below[] = "Current ideal rate %.2f is less than desired rate %.2f\n";
inline constexpr char persistent_yellow[] = "Found %d persistently yellow chips, decrease freq\n";
// The restarts after an iteration that changed chips.
inline constexpr char yellow_restart[] = "Found persistently yellow chips, doing restart\n";
inline constexpr char red_restart[] = "Found %d red chips, doing restart\n";
// The three stop conditions; every normal end logs one.
inline constexpr char three_successful[] = "Three successful iterations in a row, quit\n";
inline constexpr char check_limit[] = "Number of checks is %d, quit\n";
inline constexpr char rate_below_desired[] = "Rate is less than desired, quit\n";

// Every entry above: those only yellow-fixer writes, by which the report tells whose a log
// is. A new entry joins this list.
inline constexpr const char* every_entry[] = {
    resuming,    fix_yellow,       forced_chip,       red_chip,
    ideal_above, ideal_below,      persistent_yellow, yellow_restart,
    red_restart, three_successful, check_limit,       rate_below_desired};

}  // namespace tune::yellow_fixer_log
