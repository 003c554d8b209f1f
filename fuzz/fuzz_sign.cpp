// Fuzz target: finding the signature block (sign_find_block) at the end of
// arbitrary files.
//
// The first two bytes of the input (little-endian) are a number of zero
// bytes that the file begins with, so that files longer than the tail the
// finder reads come up too; the rest of the input is the file's tail.  The
// finder must read only inside the file (a memfd does not fail, so any read
// error means it read past the end or before the start), say why whenever
// it refuses, and a block it finds must end exactly where the footer
// begins, the footer ending the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "sign/block.h"

using namespace kapsa;

namespace {

fuzz::MemFile *file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  file = new fuzz::MemFile;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t zeros = data[0] | size_t(data[1]) << 8;
  data += 2;
  size -= 2;
  file->fill(nullptr, 0);
  if (ftruncate(file->fd, off_t(zeros)) != 0 ||
      (size && pwrite(file->fd, data, size, off_t(zeros)) != ssize_t(size)))
    abort();
  uint64_t file_size = zeros + size;

  SignBlock block;
  memset(&block, 0xa5, sizeof block);
  int found = sign_find_block(file->fd, &block);
  if (block.read_error != 0) {
    fprintf(stderr, "read outside the file of %llu bytes: %s\n",
            static_cast<unsigned long long>(file_size), block.damage ? block.damage : "");
    abort();
  }
  if (lseek(file->fd, 0, SEEK_CUR) != 0) abort();  // the file position is left alone
  switch (found) {
    case 0:
      if (block.damage) abort();
      break;
    case -1:
      if (!block.damage) abort();
      break;
    case 1:
      if (block.damage || block.offset + block.length + sign_footer_size != file_size ||
          block.length != sign_block_min + block.comment_length ||
          block.comment_length > sign_comment_max ||
          strlen(block.comment) != block.comment_length) {
        fprintf(stderr, "block at %llu, %llu bytes, comment %zu, in a file of %llu bytes\n",
                static_cast<unsigned long long>(block.offset),
                static_cast<unsigned long long>(block.length), block.comment_length,
                static_cast<unsigned long long>(file_size));
        abort();
      }
      break;
    default:
      abort();
  }
  return 0;
}
