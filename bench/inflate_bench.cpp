// kapsa_inflate_bench ARCHIVE: decodes the first member of ARCHIVE's payload
// to standard output through the output path, as an extraction does, with
// nothing else around it.  Used by bench/run.py to time the reader alone.
#include <unistd.h>

#include <cstdio>

#include "archive/preamble.h"
#include "base/options.h"
#include "gz/decoder.h"

using namespace kapsa;

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s archive > out\n", argv[0]);
    return 2;
  }
  options.program_name = argv[0];
  Archive a;
  if (open_archive(argv[1], true, &a) != 0) return 1;
  archive_job_begin(a);
  Decoder d;
  if (decoder_begin(d, PayloadKind::gzip, a.fd, payload_size(a), false) != 0) return 1;
  decoder_transfer(d, STDOUT_FILENO, true);
  return 0;
}
