#include "board_list.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "board_report.hpp"

namespace tune::rehearse {

namespace {

std::string trimmed(const std::string& line) {
  const char* blanks = " \t\r\v\f";
  size_t first = line.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// A path's last part, trailing slashes aside.
std::string last_part(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path.substr(path.rfind('/') + 1);
}

// What collect-boards names the copy of a board given as `board`: a path by its last part,
// "[USER@]HOST" by its host.
std::string copy_name(const std::string& board) {
  if (board.find('/') != std::string::npos) return last_part(board);
  return board.substr(board.find('@') + 1);  // the whole when there is no "@" (npos + 1 is 0)
}

}  // namespace

std::vector<std::string> read_board_list(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) throw UnusableBoard(path + ": " + std::strerror(errno));
  std::vector<std::string> names;
  std::string line;
  auto take = [&] {
    const std::string board = trimmed(line);
    if (!board.empty() && board[0] != '#') names.push_back(copy_name(board));
    line.clear();
  };
  // A farm's list is some thousands of lines: one far larger is no such list.
  constexpr size_t largest_list = 16 * 1024 * 1024;
  size_t read = 0;
  for (int c; (c = std::fgetc(file)) != EOF;) {
    if (++read > largest_list) {
      std::fclose(file);
      throw UnusableBoard(path + ": larger than 16 MB: not a list of boards");
    }
    if (c == '\n') {
      take();
    } else {
      line += static_cast<char>(c);
    }
  }
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) throw UnusableBoard(path + ": " + std::strerror(error));
  take();  // a last line without its line end
  // A board listed twice is one board.
  std::vector<std::string> once;
  std::set<std::string> seen;
  for (std::string& name : names) {
    if (seen.insert(name).second) once.push_back(std::move(name));
  }
  return once;
}

std::string copy_name_of(const std::string& dir) {
  return last_part(dir);
}

int shard_of(const std::string& name, int shards) {
  unsigned long long h = 0;
  for (unsigned char byte : name) h = (h * 31 + byte) % 2147483647ULL;
  return static_cast<int>(h % static_cast<unsigned long long>(shards)) + 1;
}

std::vector<int> copies_of_listed(const std::vector<std::string>& names,
                                  const std::vector<std::string>& dirs) {
  std::map<std::string, int> by_name;
  for (size_t i = 0; i < dirs.size(); ++i) by_name.emplace(last_part(dirs[i]), static_cast<int>(i));
  std::vector<int> copies;
  for (const std::string& name : names) {
    auto found = by_name.find(name);
    copies.push_back(found == by_name.end() ? -1 : found->second);
  }
  return copies;
}

}  // namespace tune::rehearse
