#include "room.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>

#include "board_files.hpp"
#include "saved_sets.hpp"

namespace tune::session {

namespace {

unsigned long long size_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)
             ? static_cast<unsigned long long>(info.st_size)
             : 0;
}

std::string kib(unsigned long long bytes) {
  return std::to_string((bytes + 1023) / 1024) + " KiB";
}

}  // namespace

bool measure_room(System& sys, Action next, bool first_tuning, Room& room) {
  struct statvfs disk;
  if (statvfs(sys.path(config_dir).c_str(), &disk) != 0) return false;
  room.block_bytes = disk.f_frsize != 0 ? disk.f_frsize : disk.f_bsize;
  // What any user may use: ext4 keeps blocks back that even root cannot write (besides
  // those kept for root), and counts them free; the figure errs on the safe side.
  const unsigned long long free_blocks = disk.f_bavail;
  room.free_bytes = free_blocks * room.block_bytes;
  auto blocks = [&](unsigned long long bytes) {
    return (bytes + room.block_bytes - 1) / room.block_bytes;
  };
  unsigned long long set_blocks = 3;  // its directory, "absent" and "sums"
  unsigned long long largest = 0;
  for (const char* name : saved_files) {
    const unsigned long long bytes = size_of(sys.path(cat({config_dir, "/", name})));
    set_blocks += blocks(bytes);
    largest = std::max(largest, blocks(bytes));
  }
  unsigned long long needed = largest + 3;          // beside the largest; the state, marker, step
  if (next == Action::record_finished) needed = 1;  // the state alone
  if (next == Action::new_tuning || next == Action::save_sets) {
    const bool original_too = first_tuning && !set_exists(sys, original_set);
    needed += set_blocks * (original_too ? 2 : 1) + 1;  // and the sets' directory
  }
  room.needed_bytes = needed * room.block_bytes;
  return true;
}

std::string too_full(System& sys, Action next, bool first_tuning) {
  Room room;
  if (!measure_room(sys, next, first_tuning, room) || room.free_bytes >= room.needed_bytes) {
    return "";
  }
  const bool saves = next == Action::new_tuning || next == Action::save_sets;
  const char* what = saves ? " (the copies of the miner's files, and room to replace each)"
                     : next == Action::record_finished
                         ? " (room for the state)"
                         : " (room to replace the miner's files and the state)";
  return cat({sys.path(config_dir), " has ", kib(room.free_bytes), " free; ",
              next == Action::new_tuning ? "a new tuning" : "the tuning", " needs ",
              kib(room.needed_bytes), what});
}

}  // namespace tune::session
