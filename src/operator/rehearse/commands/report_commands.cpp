#include "report_commands.hpp"

#include <cstdio>
#include <ctime>

#include "board_list.hpp"
#include "chip_power.hpp"
#include "output.hpp"
#include "pictures.hpp"
#include "report_json.hpp"
#include "report_metrics.hpp"
#include "report_text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

namespace {

void write_metrics(const std::string& path, const MetricsWriter& metrics) {
  replace_output(
      path, [&](int fd) { return metrics.write(fd); }, [&] { return metrics.text(); });
}

}  // namespace

int report_one(const std::string& dir, const ReportRequest& request) {
  if (request.out) make_output_dir(*request.out);
  if (request.metrics) check_replaceable(*request.metrics);
  const std::string& label = request.labels.front();
  MetricsWriter writer;
  BoardReport report;
  try {
    report = read_board(dir, request.age);
  } catch (const UnusableBoard& unusable) {
    // Prometheus hears of it too, rather than keep the board's last figures.
    if (request.metrics) {
      writer.unusable(label);
      write_metrics(*request.metrics, writer);
    }
    throw ToolError(status_unusable, unusable.what());
  }
  if (request.metrics) {
    writer.board(report, label);
    write_metrics(*request.metrics, writer);
  }
  const auto& chip = request.chip;
  if (request.json && chip) {
    std::fputs(chip_json(report, chip->first, chip->second).c_str(), stdout);
  } else if (request.json) {
    std::fputs(report_json(report).c_str(), stdout);
  } else if (chip) {
    // The chip, then what makes the status 1 when there is anything.
    std::fputs(format_chip_history(report, chip->first, chip->second).c_str(), stdout);
    std::fputs(format_findings(report).c_str(), stdout);
  } else {
    std::optional<double> power;
    if (report.rehearsal) power = chip_model_power(report);
    std::fputs(format_summary(report, power).c_str(), stdout);
  }
  if (request.out) {
    std::string picture = *request.out + "/heat-map.svg";
    write_output(picture, heat_map_svg(report, "Chips of the board in " + dir));
    if (!request.json) std::printf("picture: %s\n", picture.c_str());
  }
  return report.findings.empty() ? 0 : status_findings;
}

int report_farm(const std::vector<std::string>& dirs, const ReportRequest& request) {
  const bool json = request.json;
  std::vector<std::string> listed;
  if (request.boards_list) {
    try {
      listed = read_board_list(*request.boards_list);
    } catch (const UnusableBoard& unreadable) {
      throw ToolError(status_unusable, std::string("--boards ") + unreadable.what());
    }
  }
  // A shard's boards only: its collector holds no others, and the list names the whole farm.
  auto in_shard = [&](const std::string& name) {
    return !request.shard || shard_of(name, request.shard->of) == request.shard->number;
  };
  std::erase_if(listed, [&](const std::string& name) { return !in_shard(name); });
  if (request.out) make_output_dir(*request.out);
  if (request.metrics) check_replaceable(*request.metrics);
  const long long now = request.age.now.value_or(std::time(nullptr));
  FarmPicture overview;  // a few numbers a board, or a rack's, as the farm's size allows
  // Beside the file it goes to, where the samples wait for it: never a part of the boards'
  // files, and a disk that has room for the file.
  MetricsWriter metrics(request.metrics ? directory_holding(*request.metrics) : "");
  FarmTotals totals;
  FarmJson farm_json;
  if (json) std::fputs(farm_json.begin().c_str(), stdout);
  for (size_t i = 0; i < dirs.size(); ++i) {
    const std::string& dir = dirs[i];
    const std::string& name = request.labels[i];
    if (!in_shard(copy_name_of(dir))) continue;
    std::string text;
    try {
      if (i < request.refused.size() && !request.refused[i].empty()) {
        throw UnusableBoard(request.refused[i]);
      }
      BoardReport report = read_board(dir, request.age);
      totals.add(report);
      if (request.metrics) metrics.board(report, name);
      text = json ? farm_json.board(report) : format_board_line(report);
      if (request.out) overview.add(farm_row(report, name, now, request.age.stale_after));
      if (request.out && request.pictures) {
        // A label with directories in it ("rackA/s01") draws under them.
        const std::string picture = *request.out + "/" + name + "-heat-map.svg";
        make_output_dir(picture.substr(0, picture.rfind('/')));
        write_output(picture, heat_map_svg(report, "Chips of the board in " + dir));
      }
    } catch (const UnusableBoard& unusable) {
      // On standard error, where every failure goes; the JSON document keeps its place too.
      ++totals.unusable;
      // One refused for its label has none of its own to be a series under.
      if (request.metrics && !name.empty()) metrics.unusable(name);
      if (request.out) overview.add({.name = name.empty() ? dir : name, .unusable = true});
      std::fflush(stdout);
      std::fputs(("tune-rehearse: " + format_unusable_line(dir, unusable.what())).c_str(), stderr);
      if (json) text = farm_json.unusable(dir, unusable.what());
    }
    std::fputs(text.c_str(), stdout);
  }
  // A listed board with no copy among those reported: never copied, or its copy was lost.
  if (request.boards_list) totals.listed = true;
  const std::vector<int> copies = copies_of_listed(listed, dirs);
  for (size_t i = 0; i < listed.size(); ++i) {
    const bool labelled = copies[i] >= 0 && !request.labels[copies[i]].empty();
    if (request.metrics) metrics.listed(labelled ? request.labels[copies[i]] : listed[i]);
    if (copies[i] >= 0) continue;
    ++totals.not_copied;
    if (request.out) overview.add({.name = listed[i], .not_copied = true});
    std::fputs((json ? farm_json.not_copied(listed[i], *request.boards_list)
                     : format_not_copied_line(listed[i], *request.boards_list))
                   .c_str(),
               stdout);
  }
  std::fputs((json ? farm_json.end(totals) : format_farm_totals(totals)).c_str(), stdout);
  if (request.metrics) write_metrics(*request.metrics, metrics);
  if (request.out) {
    const std::string picture = *request.out + "/farm.svg";
    write_output(picture, overview.svg());
    if (!json) std::printf("picture: %s\n", picture.c_str());
  }
  if (totals.unusable > 0) return status_unusable;
  return totals.with_findings + totals.not_copied > 0 ? status_findings : 0;
}

}  // namespace tune::rehearse
