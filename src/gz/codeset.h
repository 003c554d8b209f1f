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

// The code set of a dynamic block that inflate refused.
enum class CodeSet { literals, distances };

// Inflate's message for a refused code set: which set it names, or false
// when the message names none.
bool codeset_refused(const char *zlib_message, CodeSet *set);

// Reads the header of the dynamic block at start again from fd and prints
// " incomplete literal tree\n" or " incomplete distance tree\n" to standard
// error when the set that inflate refused is incomplete; prints nothing when
// the header cannot be read again or the set is over-subscribed.
void codeset_report_incomplete(int fd, BlockStart start, CodeSet set);

}  // namespace kapsa
