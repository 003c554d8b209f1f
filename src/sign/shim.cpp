// What the Debian builds of libsodium ask of a C library that musl does not
// give, for the static program (compiled to nothing against glibc, whose
// builds of kapsa use libsodium as it is).
//
// Debian builds its libraries with _FORTIFY_SOURCE, so libsodium calls
// glibc's checked explicit_bzero, __explicit_bzero_chk.  And two of its
// functions are given here so that the objects defining them stay out of the
// program: sodium_misuse, whose object also holds sodium_init (which would
// bring every implementation in the library that picks one by processor,
// and the random generator), and randombytes_buf, whose object brings the
// random generator.  kapsa makes no keys and draws no random numbers: a
// call of either is a programming error, and ends the process.
//
// libsodium asks which vector instructions the processor has through weak
// references, which a static link leaves null unless something else brings
// the object that answers them (sodium_init's): scrypt asks for SSE2, and
// would call address 0.  Every x86-64 processor has SSE2.
#include <stdlib.h>
#include <string.h>

#ifndef __GLIBC__

extern "C" {

void __explicit_bzero_chk(void *p, size_t size, size_t room) {
  if (size > room) abort();
  explicit_bzero(p, size);
}

void sodium_misuse(void) { abort(); }

void randombytes_buf(void *, size_t) { abort(); }

#ifdef __x86_64__
int sodium_runtime_has_sse2(void) { return 1; }
#endif

}  // extern "C"

#endif
