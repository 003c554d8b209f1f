// kapsa_inflate_bench ARCHIVE: reads the first member of ARCHIVE's payload
// and inflates it to standard output, as an extraction does, with nothing
// else around it.  Used by bench/run.py to time the reader alone.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "archive/preamble.h"
#include "base/options.h"
#include "gz/reader.h"

using namespace kapsa;

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s archive > out\n", argv[0]);
    return 2;
  }
  options.program_name = argv[0];
  int fd = find_preamble(argv[1]);
  if (fd < 0) {
    fprintf(stderr, "%s: no preamble in %s\n", argv[0], argv[1]);
    return 1;
  }
  snprintf(options.input_name, text_size, "%s", argv[1]);
  strcpy(options.payload_name, "stdout");
  options.archive_fd = fd;
  if (read_member_header() != 8) return 1;
  return decompress_member(fd, STDOUT_FILENO);
}
