// The entries of chain-tuner's log that other parts read (the report, the rehearsal):
// defined once here, written by the program with them, read back with read_message, so
// that a reworded entry breaks a test rather than an operator's report.
#pragma once

namespace tune::chain_tuner_log {

// The first entry of every run that has read its settings.
inline constexpr char config_parse[] =
    "Config parse: freq_from=%d, freq_to=%d, voltage_from=%d, voltage_to=%d, ideal_percent=%d\n";
inline constexpr char elapsed[] = "Elapsed time: %d\n";
inline constexpr char get_stat[] = "GET STAT\n";  // once after each restart
inline constexpr char not_started_in_time[] =
    "CGMiner not started in expected time, doing restart\n";
inline constexpr char check_rates[] = "CHECK RATES\n";
// A chain's red chips in a check pass: logged only for a chain whose rate is not 0.
inline constexpr char reds_counted[] = "Number of reds on chain %d: %d\n";
inline constexpr char too_many_reds[] = "Too much reds on chain %d: %d\n";
inline constexpr char settle[] = "Update config with new voltage and wait %d seconds...\n";
inline constexpr char green_lowering[] =
    "Trying to increase freqs of green chips before restart, decreasing voltage of chain %d to "
    "%d\n";
inline constexpr char green_raising[] =
    "Trying to increase freqs of green chips before restart, increasing freqs of green chips on "
    "chain %d\n";
inline constexpr char green_reverting[] =
    "Trying to increase freqs of green chips before restart, reverting voltage on chain %d to "
    "%d\n";
inline constexpr char rate_reached[] = "Current rate %d is not less than desired rate %.2f\n";
inline constexpr char rate_below[] = "Current rate %d is less than desired rate %.2f\n";
inline constexpr char done[] = "Auto tune is done, exit\n";  // every normal end

// Every entry above: those only chain-tuner writes, by which the report tells whose a log is.
// A new entry joins this list.
inline constexpr const char* every_entry[] = {
    config_parse,  elapsed, get_stat,       not_started_in_time, check_rates,     reds_counted,
    too_many_reds, settle,  green_lowering, green_raising,       green_reverting, rate_reached,
    rate_below,    done};

}  // namespace tune::chain_tuner_log
