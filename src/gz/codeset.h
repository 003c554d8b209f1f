// Diagnosing a dynamic DEFLATE block whose Huffman code set zlib refused:
// whether its literal/length or its distance code set is incomplete.
#pragma once

#include <sys/types.h>

namespace kapsa {

// Where a DEFLATE block began: a byte of the input file and a bit in it.
struct BlockStart {
  off_t byte;  // -1 when the input cannot be read again
  int bit;     // first bit of the block header, 0 = least significant
};

// Reads the header of the dynamic block at start again from fd and prints
// " incomplete literal tree\n" or " incomplete distance tree\n" to standard
// error when one of its code sets is incomplete; prints nothing when the
// header cannot be read again or tells nothing (an over-subscribed set).
void codeset_report_incomplete(int fd, BlockStart start);

}  // namespace kapsa
