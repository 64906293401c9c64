// A test's own directory, made on construction and removed with everything in it on
// destruction; the working directory moved into one for a while; a file's bytes read and
// written whole.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tune::testing {

class TempDir {
 public:
  // Under `parent` (the system's temporary directory when empty), readable by all: runs as
  // the unprivileged user "nobody" reach into it.
  explicit TempDir(const std::string& parent = "") {
    namespace fs = std::filesystem;
    path_ = ((parent.empty() ? fs::temp_directory_path() : fs::path(parent)) / "tune-test-XXXXXX");
    if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "cannot make " << path_;
    fs::permissions(path_, fs::perms(0755));
  }
  // A directory a test took every permission from is given them back, so that all of it goes.
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (fs::recursive_directory_iterator it(path_, ignored), end; it != end;
         it.increment(ignored)) {
      if (it->is_directory(ignored) && !it->is_symlink(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// While one lives, the process works in `dir`.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& dir) : left_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(left_, ignored);
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  const std::filesystem::path left_;
};

// A file's bytes; "" when it cannot be read.
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
inline void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace tune::testing
