// BLAKE2b-512 over a stream of bytes, through libsodium.
//
// libsodium is used without sodium_init: kapsa needs neither its random
// generator nor its choice of BLAKE2b routine by processor.  The portable
// routine it runs with is no slower here than the vectorised ones (256 MiB
// in about half a second either way on the x86-64 machine we measured),
// and a check takes about the time of b2sum over the same file.
#include "sign/hash.h"

#include <sodium/crypto_generichash_blake2b.h>

namespace kapsa {

static_assert(sizeof(SignHash::state) == sizeof(crypto_generichash_blake2b_state),
              "SignHash must hold libsodium's BLAKE2b state");
static_assert(alignof(SignHash) >= alignof(crypto_generichash_blake2b_state),
              "SignHash must be aligned as libsodium's BLAKE2b state");

static crypto_generichash_blake2b_state *state_of(SignHash &h) {
  return reinterpret_cast<crypto_generichash_blake2b_state *>(h.state);
}

void sign_hash_begin(SignHash &h) {
  // Fails only for a key or digest length out of range, which these are not.
  crypto_generichash_blake2b_init(state_of(h), nullptr, 0, sign_hash_size);
}

void sign_hash_update(SignHash &h, const void *data, size_t size) {
  crypto_generichash_blake2b_update(state_of(h), static_cast<const unsigned char *>(data), size);
}

void sign_hash_end(SignHash &h, unsigned char out[sign_hash_size]) {
  crypto_generichash_blake2b_final(state_of(h), out, sign_hash_size);
}

}  // namespace kapsa
