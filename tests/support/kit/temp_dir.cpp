#include "temp_dir.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace tune::testing {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& parent) {
  std::string pattern =
      ((parent.empty() ? fs::temp_directory_path() : fs::path(parent)) / "tune-test-XXXXXX")
          .string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot make a directory like " << pattern;
  }
  path_ = pattern;
  fs::permissions(path_, fs::perms(0755));
}

TempDir::~TempDir() {
  // A test may leave a directory it took every permission from: given back, so that the
  // whole tree goes (root removes it anyway).
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(path_, ignored);
}

WorkingDir::WorkingDir(const std::string& dir) : left_(fs::current_path().string()) {
  fs::current_path(dir);
}

WorkingDir::~WorkingDir() {
  std::error_code ignored;
  fs::current_path(left_, ignored);
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

}  // namespace tune::testing
