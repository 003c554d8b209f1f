// kapsa_inflate_bench ARCHIVE: decodes the first member of ARCHIVE's payload
// to standard output through the output path, as an extraction does, with
// nothing else around it.  Used by bench/run.py to time the reader alone.
#include <unistd.h>

#include <cstdio>

#include "archive/preamble.h"
#include "payload/payload.h"

using namespace kapsa;

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s archive > out\n", argv[0]);
    return 2;
  }
  Archive a;
  if (archive_open(argv[1], true, false, argv[0], &a) != 0) return 1;
  if (payload_read_header(a.payload, false, true) != 0) return 1;
  payload_decode(a.payload, STDOUT_FILENO, "stdout", true);
  return 0;
}
