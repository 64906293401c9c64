#include "cut_points.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "write_faults.h"

namespace tune::cut {

Plan& plan() {
  static Plan the_plan;
  return the_plan;
}

Plan& count_on(const std::string& config) {
  plan() = Plan{};
  plan().config = config;
  return plan();
}

namespace {

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The path within /config, or nullptr when the path is not on it.
const char* within_config(const char* path) {
  const std::string& config = plan().config;
  if (path == nullptr || config.empty() || std::strncmp(path, config.c_str(), config.size()) != 0)
    return nullptr;
  const char* rest = path + config.size();
  return *rest == '/' || *rest == '\0' ? rest : nullptr;
}

bool fd_path(int fd, std::string& path) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, target, sizeof target - 1);
  if (length <= 0) return false;
  path.assign(target, static_cast<size_t>(length));
  return true;
}

// What a counted call does: what it was asked, or fail as planned.
enum class Turn { go_on, fail };

// Counts a call on `path` (in /config or not) and cuts the power before it, as planned.
// `creates`: an open that would make a new file.
Turn count(const char* call, const char* path, bool creates = false) {
  if (within_config(path) == nullptr) return Turn::go_on;
  Plan& p = plan();
  if (++p.calls == p.cut_at) _exit(cut_status);
  if (p.names != nullptr) p.names->push_back(call);
  const bool fails =
      p.fail_at > 0 && (p.calls == p.fail_at || (p.lasting && p.calls > p.fail_at &&
                                                 fails_on_lasting_fault(p.fault, call, creates)));
  if (!fails) return Turn::go_on;
  if (p.fault != SHORT_WRITE) p.tainted.insert(path);  // a short write is no failure
  return Turn::fail;
}

Turn count_on_fd(const char* call, int fd) {
  std::string path;
  if (plan().config.empty() || !fd_path(fd, path)) return Turn::go_on;
  return count(call, path.c_str());
}

// A failed call's ending: -1 with the planned errno.
int failed() {
  errno = plan().fault;
  return -1;
}

// A write that fails as planned: an error, or half of it stored and said.
template <typename Write>
ssize_t planned_write(Turn turn, size_t size, Write write_some) {
  if (turn == Turn::go_on) return write_some(size);
  if (plan().fault == SHORT_WRITE) return write_some(size / 2);
  return failed();
}

void record_version(const char* path) {
  Plan& p = plan();
  const char* inside = within_config(path);
  if (p.versions == nullptr || inside == nullptr || p.tainted.count(path) != 0) return;
  const int saved = errno;
  int fd = real<int (*)(const char*, int, ...)>("open")(path, O_RDONLY | O_CLOEXEC);
  std::string content;
  char buffer[8192];
  ssize_t got;
  while (fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0) {
    content.append(buffer, static_cast<size_t>(got));
  }
  if (fd >= 0) real<int (*)(int)>("close")(fd);
  (*p.versions)[inside].insert(content);
  errno = saved;
}

bool may_write(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

template <typename Open>
int planned_open(const char* call, const char* path, int flags, Open open_it) {
  if (!may_write(flags)) return open_it();
  const bool creates = (flags & O_CREAT) != 0 && ((flags & O_EXCL) != 0 || access(path, F_OK) != 0);
  if (count(call, path, creates) == Turn::fail) return failed();
  int fd = open_it();
  if (fd >= 0) plan().tainted.erase(path);  // a new content begins
  return fd;
}

}  // namespace

}  // namespace tune::cut

using namespace tune::cut;

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return planned_open("open", path, flags, [&] {
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
  });
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  return planned_open("open64", path, flags, [&] {
    return real<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
  });
}

ssize_t write(int fd, const void* data, size_t size) {
  return planned_write(count_on_fd("write", fd), size, [&](size_t some) {
    return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, some);
  });
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  return planned_write(count_on_fd("pwrite", fd), size, [&](size_t some) {
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, some, offset);
  });
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  if (count_on_fd("writev", fd) == Turn::fail) return failed();
  return real<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, parts, count);
}

int ftruncate(int fd, off_t length) {
  if (count_on_fd("ftruncate", fd) == Turn::fail) return failed();
  return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (count_on_fd("fallocate", fd) == Turn::fail) return failed();
  return real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
  if (count_on_fd("fallocate", fd) == Turn::fail) return failed();
  return real<int (*)(int, int, off_t, off_t)>("fallocate64")(fd, mode, offset, length);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  return planned_write(count_on_fd("pwrite", fd), size, [&](size_t some) {
    return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64")(fd, data, some, offset);
  });
}

int fsync(int fd) {
  if (count_on_fd("fsync", fd) == Turn::fail) return failed();
  return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
  if (count_on_fd("fdatasync", fd) == Turn::fail) return failed();
  return real<int (*)(int)>("fdatasync")(fd);
}

int fchmod(int fd, mode_t mode) {
  if (count_on_fd("fchmod", fd) == Turn::fail) return failed();
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  if (count_on_fd("fchown", fd) == Turn::fail) return failed();
  return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (count_on_fd("fsetxattr", fd) == Turn::fail) return failed();
  return real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

int fremovexattr(int fd, const char* name) {
  if (count_on_fd("fremovexattr", fd) == Turn::fail) return failed();
  return real<int (*)(int, const char*)>("fremovexattr")(fd, name);
}

// A close that fails has still closed the descriptor, as the kernel's does.
int close(int fd) {
  std::string path;
  bool written = false, counted = false;
  if (!plan().config.empty() && fd_path(fd, path) && within_config(path.c_str()) != nullptr) {
    int flags = fcntl(fd, F_GETFL);
    written = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
    counted = written && plan().count_closes;
  }
  Turn turn = counted ? count("close", path.c_str()) : Turn::go_on;
  int result = real<int (*)(int)>("close")(fd);
  if (written) record_version(path.c_str());
  return turn == Turn::fail ? failed() : result;
}

int rename(const char* from, const char* to) {
  if (count("rename", within_config(to) != nullptr ? to : from) == Turn::fail) return failed();
  int result = real<int (*)(const char*, const char*)>("rename")(from, to);
  if (result == 0 && plan().tainted.count(from) == 0) record_version(to);
  return result;
}

int unlink(const char* path) {
  if (count("unlink", path) == Turn::fail) return failed();
  return real<int (*)(const char*)>("unlink")(path);
}

int remove(const char* path) {
  if (count("remove", path) == Turn::fail) return failed();
  return real<int (*)(const char*)>("remove")(path);
}

int mkdir(const char* path, mode_t mode) {
  if (count("mkdir", path) == Turn::fail) return failed();
  return real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

int rmdir(const char* path) {
  if (count("rmdir", path) == Turn::fail) return failed();
  return real<int (*)(const char*)>("rmdir")(path);
}

}  // extern "C"
