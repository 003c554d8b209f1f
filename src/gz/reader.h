// Reading one gzip member.
#pragma once

namespace kapsa {

// Reads and checks a member header through options.archive_fd.  Returns 8
// (deflate), or -1 after printing why the header is refused.
int read_member_header();

// Inflates the member body from in to out and checks its trailer.  Returns 0;
// every failure ends the process.
int decompress_member(int in, int out);

}  // namespace kapsa
