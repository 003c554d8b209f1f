// Shared pieces of the fuzz targets: the run record of a fresh run, the
// reset of the stream layer between inputs, and an in-memory file that the
// code under test opens by path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/options.h"

namespace fuzz {

// The program name every target's messages start with.
constexpr const char *program = "kapsa";

// The run record of a run given no options: program_name "kapsa", the
// rest zero, as start-up fills it before reading the command line.
kapsa::Options fresh_options();

// Puts the gzip stream layer (kapsa::stream, the one state that stays
// process-wide) back to its state at program start, so that no input sees
// what the one before left in it.
void reset_stream();

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
