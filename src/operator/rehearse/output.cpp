#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "files.hpp"
#include "posix_system.hpp"
#include "text.hpp"
#include "tool_error.hpp"

namespace tune::rehearse {

void write_output(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  errno = 0;
  out << text;
  out.close();
  if (!out) {
    throw ToolError(status_unusable,
                    path + ": cannot be written" +
                        (errno != 0 ? ": " + std::string(std::strerror(errno)) : ""));
  }
}

void replace_output(const std::string& path, const std::string& text) {
  // The runtime's durable replace, which the board's files take too.
  PosixSystem sys;
  errno = 0;
  if (!replace_file(sys, path, text)) {
    throw ToolError(status_unusable,
                    path + ": cannot be written" +
                        (errno != 0 ? ": " + std::string(std::strerror(errno)) : std::string()));
  }
}

void replace_output(const std::string& path, FunctionRef<bool(int fd)> write,
                    FunctionRef<std::optional<std::string>()> whole) {
  // The runtime makes the empty file beside `path` with the old one's owner and mode, and
  // says when it would rewrite `path` in place instead; the text is then added and synced.
  PosixSystem sys;
  StagedReplace staged;
  errno = 0;
  bool stored = stage_replace(sys, path, "", staged);
  const int fd =
      stored && !staged.in_place ? open(staged.temporary.c_str(), O_WRONLY | O_CLOEXEC) : -1;
  if (stored && fd < 0) {
    // Rewritten in place, or a temporary file of a mode its writer may not open again.
    drop_staged(staged);
    errno = 0;
    if (std::optional<std::string> text = whole()) {
      replace_output(path, *text);
      return;
    }
    stored = false;
  }
  if (stored) {
    stored = write(fd) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && stored) {
      stored = false;
      error = errno;
    }
    if (stored) {
      stored = commit_replace(sys, staged);
    } else {
      drop_staged(staged);
      errno = error;
    }
  }
  if (!stored) {
    throw ToolError(status_unusable,
                    path + ": cannot be written" +
                        (errno != 0 ? ": " + std::string(std::strerror(errno)) : std::string()));
  }
}

std::string directory_holding(const std::string& path) {
  std::filesystem::path parent = std::filesystem::path(link_target(path)).parent_path();
  return parent.empty() ? "." : parent.string();
}

void check_replaceable(const std::string& path) {
  const std::string dir = directory_holding(path);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw ToolError(status_unusable, path + ": cannot be written: " + std::strerror(EISDIR));
  }
  if (std::filesystem::exists(dir, ec) && !std::filesystem::is_directory(dir, ec)) {
    throw ToolError(status_unusable, path + ": cannot be written: " + std::strerror(ENOTDIR));
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    throw ToolError(status_unusable, path + ": cannot be written: " + std::strerror(errno));
  }
}

namespace {

// A directory as a path from the root, whatever way it was given: "." parts, doubled and
// trailing slashes gone, and the links on the way to it followed (a farm's root reached
// through a link is the root), though not the directory's own name (a board that is a link
// keeps its name). Where the links cannot be followed (a directory the user may not search),
// the path as given.
std::filesystem::path absolute_path(const std::string& dir) {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(dir, ec);
  if (ec) path = dir;
  path = path.lexically_normal();
  if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
    path = path.parent_path();
  }
  if (path.has_filename() && path.filename() != "..") {
    std::filesystem::path parent = std::filesystem::weakly_canonical(path.parent_path(), ec);
    if (!ec) path = parent / path.filename();
  }
  return path;
}

}  // namespace

Labels board_labels(const std::vector<std::string>& dirs, const std::string& under) {
  std::vector<std::filesystem::path> paths;
  for (const std::string& dir : dirs) paths.push_back(absolute_path(dir));
  std::filesystem::path root;
  if (!under.empty()) {
    root = absolute_path(under);
  } else if (!paths.empty()) {
    // The deepest directory that holds every board: the common start of their parents.
    root = paths.front().parent_path();
    for (const std::filesystem::path& path : paths) {
      const std::filesystem::path parent = path.parent_path();
      std::filesystem::path common;
      auto a = root.begin(), b = parent.begin();
      for (; a != root.end() && b != parent.end() && *a == *b; ++a, ++b) common /= *a;
      root = common;
    }
  }
  Labels labels;
  auto problem = [&](std::string what) { return Labels{{}, {}, std::move(what)}; };
  std::map<std::string, size_t> given;
  std::map<std::pair<dev_t, ino_t>, size_t> directories;
  labels.refused.resize(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    std::string label = paths[i].lexically_relative(root).generic_string();
    if (label.empty() || label == "." || label.starts_with("../") || label == "..") {
      if (!under.empty()) {
        return problem(printable(dirs[i], 200) + " is not under --labels-under " +
                       printable(under, 200));
      }
      label = paths[i].filename().string();  // the root itself, given as a board
      if (label.empty()) label = "board";
    }
    // One directory under two names (a link to a board beside the board, a board given
    // twice) is one board, reported under the name that is not a link.
    struct stat info;
    if (::stat(dirs[i].c_str(), &info) == 0) {
      auto [same, first] = directories.emplace(std::pair{info.st_dev, info.st_ino}, i);
      if (!first) {
        size_t kept = same->second, dropped = i;
        struct stat own;
        if (::lstat(dirs[kept].c_str(), &own) == 0 && S_ISLNK(own.st_mode) &&
            ::lstat(dirs[i].c_str(), &own) == 0 && !S_ISLNK(own.st_mode)) {
          std::swap(kept, dropped);
          same->second = kept;
        }
        labels.refused[dropped] = "the same board as " + printable(dirs[kept], 200);
      }
    }
    // Told apart as they are written: two names that escape alike would be one series, so
    // the later one has no label of its own.
    auto [at, fresh] = given.emplace(printable(label, 200), i);
    if (!fresh && labels.refused[i].empty()) {
      labels.refused[i] = "would be labelled " + printable(label, 200) + " as " +
                          printable(dirs[at->second], 200) + " is";
    }
    labels.labels.push_back(fresh ? label : std::string());
  }
  return labels;
}

void make_output_dir(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    throw ToolError(status_unusable,
                    dir + ": cannot be made: " + (ec ? ec.message() : "not a directory"));
  }
  if (access(dir.c_str(), W_OK) != 0) {
    throw ToolError(status_unusable, dir + ": cannot be written: " + std::strerror(errno));
  }
}

}  // namespace tune::rehearse
