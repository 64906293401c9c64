// The cost of a durable miner-file write (temporary file, fsync, rename, fsync of the
// directory) against the plain in-place write it replaced, for a typical
// /config/manual_freqs.txt. The files go to $TMPDIR (default /tmp): point it at the disk
// to measure, since a tmpfs syncs for free.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "files.hpp"
#include "posix_system.hpp"

namespace {

namespace fs = std::filesystem;

// 60 chip overrides, about 600 bytes.
std::string typical_overrides() {
  std::string text;
  for (int chip = 1; chip <= 60; ++chip) text += "3:" + std::to_string(chip) + ":74\n";
  return text;
}

fs::path bench_dir() {
  fs::path dir = fs::temp_directory_path() / ("tune-file-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

void in_place_write(benchmark::State& state) {
  const fs::path dir = bench_dir();
  const std::string path = dir / "manual_freqs.txt";
  const std::string text = typical_overrides();
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      state.SkipWithError("cannot write");
    }
    close(fd);
  }
  fs::remove_all(dir);
}
BENCHMARK(in_place_write)->Unit(benchmark::kMicrosecond);

void durable_replace(benchmark::State& state) {
  const fs::path dir = bench_dir();
  const std::string path = dir / "manual_freqs.txt";
  const std::string text = typical_overrides();
  tune::PosixSystem board;
  for (auto _ : state) {
    if (!tune::replace_file(board, path, text)) state.SkipWithError("cannot replace");
  }
  fs::remove_all(dir);
}
BENCHMARK(durable_replace)->Unit(benchmark::kMicrosecond);

}  // namespace
