// Shared pieces of the fuzz targets: the per-input reset of the process-wide
// state, and an in-memory file that the code under test opens by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Puts kapsa::options, kapsa::preamble, the stream state and the gzip
// reader's records back to their state at program start, as if each input
// were a fresh run.  program_name becomes "kapsa".
void reset_state();

// Sends standard output to /dev/null for the rest of the process.
void silence_stdout();

// An anonymous in-memory file (memfd), executable, reachable by the path
// "/proc/self/fd/N": opening that path gives a new description of the same
// file with its own offset.
struct MemFile {
  MemFile();
  ~MemFile();
  MemFile(const MemFile &) = delete;
  MemFile &operator=(const MemFile &) = delete;

  // Replaces the contents with size bytes of data and rewinds fd.
  void fill(const uint8_t *data, size_t size);

  int fd = -1;
  std::string path;
};

// Cuts data at its NUL bytes into exactly count texts; missing ones are empty,
// and the last one takes the rest up to its own first NUL.
std::vector<std::string> split_texts(const uint8_t *data, size_t size, size_t count);

}  // namespace fuzz
