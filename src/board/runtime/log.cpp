#include "log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tune {

namespace {

// The log lives in world-writable /tmp and the programs run as root, so a link planted
// there must not redirect a write: a link is followed only when root owns it.
// Only a regular file is a log: a pipe planted there could block every entry.
int open_log(const std::string& path, int flags) {
  flags |= O_CLOEXEC | O_NONBLOCK;
  int fd = open(path.c_str(), flags | O_NOFOLLOW, 0666);
  if (fd < 0 && errno == ELOOP) {
    struct stat link_info;
    if (lstat(path.c_str(), &link_info) != 0) return -1;
    if (!S_ISLNK(link_info.st_mode) || link_info.st_uid != 0) return -1;
    fd = open(path.c_str(), flags, 0666);
  }
  struct stat info;
  if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

void tune_log_reset(System& sys) {
  int fd = open_log(sys.path(log_path), O_WRONLY | O_CREAT | O_TRUNC);
  if (fd >= 0) close(fd);
}

void tune_log(System& sys, const char* message) {
  int fd = open_log(sys.path(log_path), O_RDWR | O_CREAT | O_APPEND);
  if (fd < 0) return;
  std::FILE* log = fdopen(fd, "a+");
  if (log == nullptr) {
    close(fd);
    return;
  }
  char stamp[27];
  if (format_stamp(sys.now(), false, stamp, sizeof stamp - 1)) std::strcat(stamp, " ");
  std::fwrite(stamp, 1, std::strlen(stamp), log);
  std::fwrite(message, 1, std::strlen(message), log);
  std::fclose(log);
}

namespace {

// Formats into the 2048-byte message buffer (cut, never overrun) and logs.
void log_formatted(System& sys, const char* format, va_list args) {
  char message[message_buffer_size];
  std::vsnprintf(message, sizeof message, format, args);
  tune_log(sys, message);
}

[[noreturn]] void end_process(System& sys, int status) {
  sys.exit_process(status);
  std::abort();  // only a broken System returns from its exit
}

}  // namespace

void tune_logf(System& sys, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_formatted(sys, format, args);
  va_end(args);
}

void tune_fatal(System& sys, int status, const char* message) {
  tune_log(sys, message);
  end_process(sys, status);
}

void tune_fatalf(System& sys, int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_formatted(sys, format, args);
  va_end(args);
  end_process(sys, status);
}

namespace {

// Takes a number at `at` in the manner its conversion writes it; false when there is none.
bool take_number(std::string_view entry, size_t& at, char conversion,
                 std::vector<double>& numbers) {
  size_t start = at;
  if (at < entry.size() && entry[at] == '-') ++at;
  auto digits = [&] {
    size_t first = at;
    while (at < entry.size() && entry[at] >= '0' && entry[at] <= '9') ++at;
    return at > first;
  };
  bool whole = digits();
  bool fraction = conversion == 'f' && at < entry.size() && entry[at] == '.' && (++at, digits());
  if (!whole && !fraction) return false;
  const double number = std::strtod(std::string(entry.substr(start, at - start)).c_str(), nullptr);
  // "%d" writes an int: a number past its range is not what the message wrote, and a reader
  // may take the value back as an int.
  if (conversion == 'd' && (number < INT_MIN || number > INT_MAX)) return false;
  numbers.push_back(number);
  return true;
}

}  // namespace

bool format_stamp(std::time_t when, bool utc, char* text, size_t size) {
  struct tm fields;
  const bool known =
      utc ? gmtime_r(&when, &fields) != nullptr : localtime_r(&when, &fields) != nullptr;
  if (size == 0) return false;
  if (!known || std::strftime(text, size, "%Y-%m-%d %H:%M:%S", &fields) == 0) {
    text[0] = '\0';
    return false;
  }
  return true;
}

bool log_stamp_shaped(std::string_view text) {
  static constexpr char shape[] = "dddd-dd-dd dd:dd:dd ";
  if (text.size() < sizeof shape - 1) return false;
  for (size_t i = 0; i + 1 < sizeof shape; ++i) {
    char c = text[i];
    if (shape[i] == 'd' ? (c < '0' || c > '9') : c != shape[i]) return false;
  }
  return true;
}

std::optional<long long> read_log_stamp(std::string_view text) {
  if (!log_stamp_shaped(text)) return std::nullopt;
  auto number = [&](size_t at, size_t length) {
    int value = 0;
    for (size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm tm{};
  tm.tm_year = number(0, 4) - 1900;
  tm.tm_mon = number(5, 2) - 1;
  tm.tm_mday = number(8, 2);
  tm.tm_hour = number(11, 2);
  tm.tm_min = number(14, 2);
  tm.tm_sec = number(17, 2);
  const std::tm asked = tm;
  time_t seconds = timegm(&tm);
  // timegm carries an impossible field into the next one; a possible time comes back whole.
  std::tm back{};
  if (gmtime_r(&seconds, &back) == nullptr || back.tm_year != asked.tm_year ||
      back.tm_mon != asked.tm_mon || back.tm_mday != asked.tm_mday ||
      back.tm_hour != asked.tm_hour || back.tm_min != asked.tm_min || back.tm_sec != asked.tm_sec) {
    return std::nullopt;
  }
  return static_cast<long long>(seconds);
}

namespace {

enum class Match { none, whole, cut };

// How `entry` stands to what `format` writes: that message whole, its start (the entry ends
// before the format does), or neither. The numbers read go to `numbers`.
Match match_message(const char* format, std::string_view entry, std::vector<double>& numbers) {
  size_t at = 0;
  for (const char* f = format; *f != '\0'; ++f) {
    if (at == entry.size()) return Match::cut;
    if (*f != '%') {
      if (entry[at] != *f) return Match::none;
      ++at;
      continue;
    }
    ++f;
    if (*f == '\0') return Match::none;
    if (*f == '%') {
      if (at >= entry.size() || entry[at] != '%') return Match::none;
      ++at;
      continue;
    }
    if (*f == 's') {
      // A text (a path): up to the format's next character, which ends it.
      char until = f[1];
      while (at < entry.size() && entry[at] != until && entry[at] != '\n') ++at;
      continue;
    }
    while (*f == '.' || (*f >= '0' && *f <= '9')) ++f;  // a precision says how it was written
    if (entry.substr(at) == "-") return Match::cut;     // a number cut after its sign
    if ((*f != 'd' && *f != 'f') || !take_number(entry, at, *f, numbers)) return Match::none;
  }
  return at == entry.size() ? Match::whole : Match::none;
}

}  // namespace

std::optional<std::vector<double>> read_message(const char* format, std::string_view entry) {
  std::vector<double> numbers;
  if (match_message(format, entry, numbers) != Match::whole) return std::nullopt;
  return numbers;
}

bool may_be_cut_from(const char* format, std::string_view entry) {
  std::vector<double> numbers;
  return match_message(format, entry, numbers) != Match::none;
}

}  // namespace tune
