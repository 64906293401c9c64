#include "saved_sets.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

#include "board_files.hpp"
#include "files.hpp"

namespace tune::session {

namespace {

// The miner's files are a few kilobytes; a larger one is not the miner's.
constexpr size_t miner_file_limit = 16 * 1024 * 1024;

// Removes a set's directory (or a half-made one) with all it holds; nothing when absent.
// Links are removed, never followed.
void remove_set_directory(const std::string& path) {
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string inside = cat({path, "/", name});
      struct stat info;
      if (lstat(inside.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        remove_set_directory(inside);
      } else {
        unlink(inside.c_str());
      }
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

// The directory of the sets, made when missing.
Result<> make_backup_directory(System& sys) {
  const std::string path = sys.path(backup_dir);
  if (mkdir(path.c_str(), 0755) == 0) {
    if (!sync_directory(sys, sys.path(config_dir))) return failure(sys.path(config_dir), errno);
    return {};
  }
  if (errno != EEXIST) return failure(path, errno);
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return failure(path, errno);
  if (!S_ISDIR(info.st_mode)) return failure(path, ENOTDIR);
  return {};
}

// Writes a new file whole and synced; its mode is the original's.
Result<> write_new_file(System& sys, const std::string& path, const std::string& text,
                        mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
  if (fd < 0) return failure(path, errno);
  int error = write_all(fd, text) ? 0 : errno;
  if (error == 0 && sys.sync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) return failure(path, error);
  return {};
}

struct MinerFile {
  const char* name = "";
  std::optional<std::string> text;  // none: the file does not exist
  mode_t mode = 0644;
};

// Reads the miner's files as they are now.
Result<std::vector<MinerFile>> read_miner_files(System& sys) {
  std::vector<MinerFile> files;
  for (const char* name : saved_files) {
    const std::string path = sys.path(cat({config_dir, "/", name}));
    FileRead read = read_file(path, miner_file_limit);
    if (read.result == FileRead::Result::unreadable) return read.failure;
    MinerFile file;
    file.name = name;
    struct stat info;
    if (read.result == FileRead::Result::read) {
      if (!read.whole) return Failure{cat({path, ": too large to be the miner's"})};
      file.text = std::move(read.text);
      if (stat(path.c_str(), &info) == 0) file.mode = info.st_mode;
    }
    files.push_back(std::move(file));
  }
  return files;
}

// One line of the record of sizes and checksums, as `cksum` prints it for the copy.
std::string sums_line(const char* name, const std::string& text) {
  return cat(
      {std::to_string(posix_checksum(text)), " ", std::to_string(text.size()), " ", name, "\n"});
}

// Writes the files as a new set in the hidden directory `staging`, synced, with the record
// of those that did not exist.
Result<> write_set(System& sys, const std::string& staging, const std::vector<MinerFile>& files) {
  remove_set_directory(staging);
  if (mkdir(staging.c_str(), 0755) != 0) return failure(staging, errno);
  std::string absent;
  for (const MinerFile& file : files) {
    if (!file.text) {
      absent += cat({file.name, "\n"});
      continue;
    }
    Result<> written = write_new_file(sys, cat({staging, "/", file.name}), *file.text, file.mode);
    if (!written) return written;
  }
  Result<> written = write_new_file(sys, cat({staging, "/", absent_record}), absent, 0644);
  if (!written) return written;
  std::string sums;
  for (const MinerFile& file : files) {
    if (file.text) sums += sums_line(file.name, *file.text);
  }
  written = write_new_file(sys, cat({staging, "/", sums_record}), sums, 0644);
  if (!written) return written;
  if (!sync_directory(sys, staging)) return failure(staging, errno);
  return {};
}

// The names a set records as absent; nothing for a set made without the record.
using AbsentNames = std::optional<std::vector<std::string>>;
Result<AbsentNames> absent_in(const std::string& directory) {
  FileRead record = read_file(cat({directory, "/", absent_record}), 4096);
  if (record.result == FileRead::Result::missing) return AbsentNames{};
  if (record.result == FileRead::Result::unreadable) return record.failure;
  std::vector<std::string> names;
  for (size_t at = 0; at < record.text.size();) {
    size_t end = record.text.find('\n', at);
    if (end == std::string::npos) end = record.text.size();
    if (end > at) names.push_back(record.text.substr(at, end - at));
    at = end + 1;
  }
  return AbsentNames{std::move(names)};
}

// Whether the file in /config may be written as a regular file (or made): a failure when it
// is something else. Links are followed, as the write follows them.
Result<> check_live_file(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return {};
    return failure(path, errno);
  }
  if (S_ISDIR(info.st_mode)) return failure(path, EISDIR);
  if (!S_ISREG(info.st_mode)) return Failure{cat({path, ": not a regular file"})};
  return {};
}

// Puts a set in place: the older set, if any, steps aside first and goes only once the
// new one has its name. After a cut between the two renames, `recover_set` brings the
// older one back.
Result<> install_set(System& sys, const std::string& backup, const std::string& set) {
  const std::string place = cat({backup, "/", set});
  const std::string staging = cat({backup, "/.", set, ".new"});
  const std::string aside = cat({backup, "/.", set, ".old"});
  bool had_one = name_exists(place);
  if (had_one && rename(place.c_str(), aside.c_str()) != 0) return failure(place, errno);
  if (rename(staging.c_str(), place.c_str()) != 0) {
    int error = errno;
    if (had_one) rename(aside.c_str(), place.c_str());
    return failure(place, error);
  }
  // In place, but a disk that fails to sync the name may lose the set at a power cut.
  if (!sync_directory(sys, backup)) return failure(backup, errno);
  if (had_one) remove_set_directory(aside);
  return {};
}

// Tidies what a cut left of an earlier save: the set that had stepped aside comes back
// when no new one took its name, and half-made sets go.
void recover_set(const std::string& backup, const std::string& set) {
  const std::string place = cat({backup, "/", set});
  const std::string aside = cat({backup, "/.", set, ".old"});
  if (!name_exists(place) && name_exists(aside)) rename(aside.c_str(), place.c_str());
  remove_set_directory(aside);
  remove_set_directory(cat({backup, "/.", set, ".new"}));
}

Result<> save_set(System& sys, const std::string& backup, const char* set,
                  const std::vector<MinerFile>& files) {
  const std::string staging = cat({backup, "/.", set, ".new"});
  Result<> saved = write_set(sys, staging, files);
  if (saved) saved = install_set(sys, backup, set);
  if (!saved) remove_set_directory(staging);
  return saved;
}

}  // namespace

unsigned long posix_checksum(std::string_view text) {
  uint32_t crc = 0;
  auto feed = [&crc](unsigned char byte) {
    crc ^= static_cast<uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04c11db7u : crc << 1;
  };
  for (char c : text) feed(static_cast<unsigned char>(c));
  for (size_t length = text.size(); length != 0; length >>= 8) {
    feed(static_cast<unsigned char>(length & 0xff));
  }
  return ~crc;
}

std::string set_directory(System& sys, const char* set) {
  return sys.path(cat({backup_dir, "/", set}));
}

bool set_exists(System& sys, const char* set) {
  // A set that stepped aside when a cut came between the two renames is still the set:
  // the next save or undo puts it back.
  for (const std::string& path :
       {set_directory(sys, set), sys.path(cat({backup_dir, "/.", set, ".old"}))}) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
  }
  return false;
}

Result<> save_sets(System& sys, bool first_tuning) {
  const std::string backup = sys.path(backup_dir);
  Result<std::vector<MinerFile>> files = read_miner_files(sys);
  if (!files) return files.failure();
  Result<> saved = make_backup_directory(sys);
  if (!saved) return saved;
  for (const char* set : {original_set, before_set}) recover_set(backup, set);
  if (first_tuning && !set_exists(sys, original_set)) {
    saved = save_set(sys, backup, original_set, *files);
    if (!saved) return saved;
  }
  return save_set(sys, backup, before_set, *files);
}

Result<SavedSet> read_saved_set(System& sys, const char* set) {
  SavedSet saved;
  saved.directory = set_directory(sys, set);
  // A set that stepped aside when a cut came between the two renames is read where it is.
  const std::string aside = sys.path(cat({backup_dir, "/.", set, ".old"}));
  if (!name_exists(saved.directory) && name_exists(aside)) saved.directory = aside;
  if (!set_exists(sys, set)) return failure(saved.directory, ENOENT);
  Result<AbsentNames> absent = absent_in(saved.directory);
  if (!absent) return absent.failure();
  saved.absent = *absent;
  for (const char* name : saved_files) {
    const std::string copy = cat({saved.directory, "/", name});
    saved.files.push_back(read_file(copy, miner_file_limit));
    const FileRead& read = saved.files.back();
    if (read.result == FileRead::Result::unreadable) return read.failure;
    if (read.result == FileRead::Result::read && !read.whole) {
      return Failure{cat({copy, ": too large to be the miner's"})};
    }
    if (read.result == FileRead::Result::missing && saved.absent &&
        std::find(saved.absent->begin(), saved.absent->end(), name) == saved.absent->end()) {
      return Failure{cat({copy, ": missing, though the set should hold it"})};
    }
  }
  const std::string sums_path = cat({saved.directory, "/", sums_record});
  FileRead sums = read_file(sums_path, 4096);
  if (sums.result == FileRead::Result::unreadable) return sums.failure;
  saved.checked = sums.result == FileRead::Result::read;
  // Each copy as the record has it, the record holding nothing else.
  std::string expected;
  for (size_t i = 0; saved.checked && i < saved.files.size(); ++i) {
    const FileRead& copy = saved.files[i];
    const std::string line =
        copy.result == FileRead::Result::read ? sums_line(saved_files[i], copy.text) : "";
    const bool recorded = !line.empty() && (sums.text.starts_with(line) ||
                                            sums.text.find("\n" + line) != std::string::npos);
    const bool named = sums.text.find(cat({" ", saved_files[i], "\n"})) != std::string::npos;
    if (line.empty() ? named : !recorded) {
      return Failure{
          cat({saved.directory, "/", saved_files[i], ": does not match the size and checksum in ",
               sums_path, " (cut short or changed since it was saved)"})};
    }
    expected += line;
  }
  if (saved.checked && expected.size() != sums.text.size()) {
    return Failure{cat({sums_path, ": names files the set does not hold"})};
  }
  return saved;
}

Result<SavedSet> read_set(System& sys, const char* set) {
  recover_set(sys.path(backup_dir), set);
  Result<SavedSet> saved = read_saved_set(sys, set);
  for (size_t i = 0; saved && i < saved->files.size(); ++i) {
    Result<> writable = check_live_file(sys.path(cat({config_dir, "/", saved_files[i]})));
    if (!writable) return writable.failure();
  }
  return saved;
}

Result<> stage_set(System& sys, const SavedSet& set, std::vector<StagedReplace>& staged) {
  staged.assign(set.files.size(), StagedReplace{});
  for (size_t i = 0; i < set.files.size(); ++i) {
    if (set.files[i].result == FileRead::Result::missing) continue;
    const std::string live = sys.path(cat({config_dir, "/", saved_files[i]}));
    errno = 0;
    if (!stage_replace(sys, live, set.files[i].text, staged[i])) {
      const int error = errno;
      drop_set(staged);
      return error != 0 ? failure(live, error) : Failure{cat({live, ": cannot be written"})};
    }
  }
  return {};
}

void drop_set(std::vector<StagedReplace>& staged) {
  for (const StagedReplace& file : staged) drop_staged(file);
  staged.clear();
}

Result<> commit_set(System& sys, const SavedSet& set, std::vector<StagedReplace>& staged,
                    std::vector<std::string>& kept) {
  kept.clear();
  for (size_t i = 0; i < set.files.size(); ++i) {
    const std::string live = sys.path(cat({config_dir, "/", saved_files[i]}));
    if (set.files[i].result != FileRead::Result::missing) {
      if (!commit_replace(sys, staged[i])) {
        const int error = errno;
        for (size_t later = i + 1; later < staged.size(); ++later) drop_staged(staged[later]);
        staged.clear();
        return failure(live, error);
      }
    } else if (!set.absent) {
      // A set made without the record: the file may have existed before. It stays.
      if (name_exists(live)) kept.push_back(live);
    } else if (!remove_file(sys, live) && errno != ENOENT) {
      // The file did not exist before the tuning.
      staged.clear();
      return failure(live, errno);
    }
  }
  staged.clear();
  return {};
}

Result<> check_put_back(System& sys, const SavedSet& set) {
  for (size_t i = 0; i < set.files.size(); ++i) {
    const std::string live = sys.path(cat({config_dir, "/", saved_files[i]}));
    FileRead now = read_file(live, miner_file_limit);
    const FileRead& copy = set.files[i];
    if (copy.result == FileRead::Result::missing) {
      if (set.absent && now.result != FileRead::Result::missing) {
        return Failure{cat({live, ": still there, though the set records it absent"})};
      }
    } else if (now.result != FileRead::Result::read || now.text != copy.text) {
      return Failure{cat({live, ": does not hold its copy"})};
    }
  }
  return {};
}

Result<> restore_set(System& sys, const char* set, std::vector<std::string>& kept) {
  Result<SavedSet> saved = read_set(sys, set);
  if (!saved) return saved.failure();
  std::vector<StagedReplace> staged;
  Result<> put_back = stage_set(sys, *saved, staged);
  if (put_back) put_back = commit_set(sys, *saved, staged, kept);
  if (!put_back) return put_back;
  return check_put_back(sys, *saved);
}

}  // namespace tune::session
