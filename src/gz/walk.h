// Measuring gzip members without decompressing them.
//
// A DEFLATE stream (RFC 1951) is walked symbol by symbol: literals and match
// lengths are added up, matches are never copied, so the cost follows the
// compressed size however much the data expands.  The walk accepts exactly
// the streams zlib's raw inflate accepts, to the same last byte:
//   block header     BFINAL (1 bit), BTYPE (2): 0 stored, 1 fixed, 2
//                    dynamic, 3 refused
//   stored           to the byte boundary, LEN (2), NLEN (2) = ~LEN, LEN bytes
//   dynamic          HLIT (5) + 257 <= 286, HDIST (5) + 1 <= 30, HCLEN (4) + 4,
//                    3-bit lengths of the code-length code, then the literal
//                    and distance code lengths as one sequence (16 repeats the
//                    previous length 3-6 times, 17 and 18 give 3-10 and
//                    11-138 zeros; no repeat before the first length or past
//                    the last); the end-of-block code must have a length
//   code sets        never over-subscribed; the code-length set complete; a
//                    literal or distance set complete or one code of one bit
//                    (a distance set may have no code at all): a code that
//                    is left out is an error where it is met
//   symbols          literal/length 286 and 287 and distances 30 and 31
//                    (fixed codes) are errors, as is a distance beyond the
//                    output so far
// The stream ends with its final block; the rest of that block's last byte
// is padding.
//
// A gzip member (RFC 1952) is its header, skipped as gz/reader.h accepts it
// (magic 1F 8B or 1F 9E, method 8, the optional fields of FLG 0x02, 0x04,
// 0x08 with a name of at most 1,023 characters, 0x10), one DEFLATE stream,
// CRC-32 (4, not checked here) and ISIZE (4).
//
// Everything is read with pread through a 64 KiB buffer of the walk's own:
// the file position is never moved and nothing is printed.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace kapsa {

// Reads the gzip header at offset start of fd as read_member_header would.
// Returns 0 when that reader can read it without ending the process (also
// when it refuses its magic or method), 1 when the input ends inside it or a
// read fails, 2 when its stored name is 1,024 bytes or longer.
int walk_header(int fd, off_t start);

// Walks the raw DEFLATE stream at offset start of fd.  Returns 0 with
// *length (the bytes it decodes to) and *end (the offset of the byte after
// the one holding the final block's last bit) set; -1 when the bytes from
// start are not one complete, valid stream, with errno 0, or the read's
// errno when a read failed.
int walk_deflate(int fd, off_t start, uint64_t *length, off_t *end);

// Walks the gzip member at offset start of fd.  Returns 0 with *length (the
// bytes its data decodes to), *isize (its trailer's ISIZE) and *end (the
// offset after its trailer) set; -1 when it is not one complete, valid
// member, with errno as walk_deflate leaves it.
int walk_member(int fd, off_t start, uint64_t *length, uint32_t *isize, off_t *end);

// Walks the gzip members of fd from offset start on, one after another,
// reading nothing at or after file_end.  *members is the number of complete
// members, *length the bytes they decode to together, *end the offset after
// the last of them (start when there is none).  Returns 0 when they end
// exactly at file_end, 1 when the bytes from *end to file_end are not a
// complete member, -1 when a read failed (errno set).
int walk_members(int fd, off_t start, off_t file_end, int *members, uint64_t *length, off_t *end);

}  // namespace kapsa
