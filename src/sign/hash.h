// BLAKE2b-512 over a stream of bytes: the digest that kapsa's signatures
// sign, minisign's prehashed form (the Ed25519 signature is made over the 64
// digest bytes, not over the signed bytes themselves).  The build feeds
// every byte of the archive through it as it writes them, in one pass, so
// that standard output may be a pipe.
#pragma once

#include <cstddef>

namespace kapsa {

constexpr size_t sign_hash_size = 64;

// A digest under way.  libsodium's BLAKE2b state, kept opaque here so that
// the library's headers stay inside the module.
struct SignHash {
  alignas(64) unsigned char state[384];  // crypto_generichash_blake2b_state; set by sign_hash_*
};

// Starts a BLAKE2b-512 digest without a key.
void sign_hash_begin(SignHash &h);

// Adds size bytes at data (any size, 0 too) to the digest.
void sign_hash_update(SignHash &h, const void *data, size_t size);

// Ends the digest and writes its 64 bytes to out; h must be begun again
// before another use.
void sign_hash_end(SignHash &h, unsigned char out[sign_hash_size]);

}  // namespace kapsa
