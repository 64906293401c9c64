// What tune-rehearse does once its command line is read, for a rehearsal: one rehearsal of a
// seeded board, a board's twin predicted, settings lines compared, a farm's order of work.
// Each prints its outcome as read back from the files it wrote, and returns the tool's status;
// a failure that ends the run is a ToolError.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "predictions.hpp"
#include "rehearsal.hpp"
#include "twin.hpp"

namespace tune::rehearse {

// Warnings on standard error, one line each, shown safe.
void print_warnings(const std::vector<std::string>& warnings);

// The seed's board rehearsed into options.out_dir, with progress, summary and pictures.
int rehearse_one(const RehearsalOptions& options);

// The findings in the files a twin is fitted to, in one warning.
void warn_of_findings(const BoardTwin& twin);

// Whether `out` would write over any of the board's files: the board's directory, or where
// its entries lead.
bool writes_over_board(const std::string& board, const std::string& out);

// The board's next tuning predicted from `draws` draws of its twin (options from use_twin).
int predict_twin(const RehearsalOptions& options, const BoardTwin& twin, int draws);

// One board (the seed's, or the twin's) rehearsed `draws` times per settings line.
int compare_settings(const RehearsalOptions& base, std::vector<ComparedSettings> lines,
                     const std::optional<BoardTwin>& twin, int draws);

// Every board's twin predicted, and the boards put in the order of work.
int order_of_work(const RehearsalOptions& base, const std::vector<std::string>& boards, int draws);

}  // namespace tune::rehearse
