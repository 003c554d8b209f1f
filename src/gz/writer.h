// Writing one gzip member.
#pragma once

namespace kapsa {

// Compresses everything readable from in into one gzip member on out.
// Returns 0; failures end the process.
int write_gzip_member(int in, int out);

}  // namespace kapsa
