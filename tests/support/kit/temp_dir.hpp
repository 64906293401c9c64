// A test's own directory, made on construction and removed with everything in it on
// destruction; the working directory moved into one for a while; a file's text read and
// written whole.
#pragma once

#include <string>

namespace tune::testing {

class TempDir {
 public:
  // Under `parent` (the system's temporary directory when empty), readable by all: runs as
  // the unprivileged user "nobody" reach into it.
  explicit TempDir(const std::string& parent = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// While one lives, the process works in `dir`; the directory it left is its own again after.
class WorkingDir {
 public:
  explicit WorkingDir(const std::string& dir);
  ~WorkingDir();
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::string left_;
};

// A file's bytes; "" when it cannot be read.
std::string slurp(const std::string& path);
// Replaces a file's bytes with `text`.
void spit(const std::string& path, const std::string& text);

}  // namespace tune::testing
