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

namespace tune::cut {

Plan& plan() {
  static Plan the_plan;
  return the_plan;
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

void cut_point(const char* path) {
  if (within_config(path) == nullptr) return;
  Plan& p = plan();
  if (++p.calls == p.cut_at) _exit(cut_status);
}

void cut_point_on_fd(int fd) {
  std::string path;
  if (!plan().config.empty() && fd_path(fd, path)) cut_point(path.c_str());
}

void record_version(const char* path) {
  Plan& p = plan();
  const char* inside = within_config(path);
  if (p.versions == nullptr || inside == nullptr) return;
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

}  // namespace

}  // namespace tune::cut

using namespace tune::cut;

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (may_write(flags)) cut_point(path);
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
  va_end(args);
  if (may_write(flags)) cut_point(path);
  return real<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

ssize_t write(int fd, const void* data, size_t size) {
  cut_point_on_fd(fd);
  return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  cut_point_on_fd(fd);
  return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  cut_point_on_fd(fd);
  return real<ssize_t (*)(int, const struct iovec*, int)>("writev")(fd, parts, count);
}

int ftruncate(int fd, off_t length) {
  cut_point_on_fd(fd);
  return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int fsync(int fd) {
  cut_point_on_fd(fd);
  return real<int (*)(int)>("fsync")(fd);
}

int fdatasync(int fd) {
  cut_point_on_fd(fd);
  return real<int (*)(int)>("fdatasync")(fd);
}

int fchmod(int fd, mode_t mode) {
  cut_point_on_fd(fd);
  return real<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fchown(int fd, uid_t owner, gid_t group) {
  cut_point_on_fd(fd);
  return real<int (*)(int, uid_t, gid_t)>("fchown")(fd, owner, group);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  cut_point_on_fd(fd);
  return real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

int close(int fd) {
  std::string path;
  bool written = false;
  if (plan().versions != nullptr && fd_path(fd, path) && within_config(path.c_str()) != nullptr) {
    int flags = fcntl(fd, F_GETFL);
    written = flags >= 0 && (flags & O_ACCMODE) != O_RDONLY;
  }
  int result = real<int (*)(int)>("close")(fd);
  if (written) record_version(path.c_str());
  return result;
}

int rename(const char* from, const char* to) {
  cut_point(within_config(to) != nullptr ? to : from);
  int result = real<int (*)(const char*, const char*)>("rename")(from, to);
  if (result == 0) record_version(to);
  return result;
}

int unlink(const char* path) {
  cut_point(path);
  return real<int (*)(const char*)>("unlink")(path);
}

int remove(const char* path) {
  cut_point(path);
  return real<int (*)(const char*)>("remove")(path);
}

int mkdir(const char* path, mode_t mode) {
  cut_point(path);
  return real<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

int rmdir(const char* path) {
  cut_point(path);
  return real<int (*)(const char*)>("rmdir")(path);
}

}  // extern "C"
