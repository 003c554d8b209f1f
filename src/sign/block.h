// kapsa's signature block: what a signed archive carries after its payload,
// and its check before anything of the archive runs.
//
// A signed archive is the unsigned one, then the block, then a footer that
// ends the file (numbers little-endian):
//
//   size  block field
//   8     magic "KAPSASIG"
//   2     signature algorithm "ED" (minisign's prehashed Ed25519)
//   8     key id
//   32    Ed25519 public key
//   64    signature: Ed25519 of the BLAKE2b-512 digest of the signed bytes
//   2     trusted comment length c, at most 1,024
//   c     trusted comment: no NUL, no line break
//   64    global signature: Ed25519 of the signature (64 bytes) followed by
//         the trusted comment
//
//   size  footer field (the last 24 bytes of the file)
//   8     block offset: the number of signed bytes, every byte of the file
//         before the block
//   8     block length (180 + c)
//   8     magic "KAPSAEND"
//
// These are minisign's signature and global signature, so the block converts
// to a .minisig file that `minisign -V` checks against the signed bytes
// (sign_write_minisig).  The key id and public key in the block are signed
// by nothing: only a comparison with a trusted key makes them mean anything.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "sign/hash.h"
#include "sign/keys.h"

namespace kapsa {

// An Ed25519 signature; the longest trusted comment.
constexpr size_t sign_signature_size = 64, sign_comment_max = 1024;
// A block with an empty comment; a footer.
constexpr size_t sign_block_min = 180, sign_footer_size = 24;
// The most that sign_make_block writes: the longest block and the footer.
constexpr size_t sign_block_max = sign_block_min + sign_comment_max + sign_footer_size;

// A signature block as read from an archive.
struct SignBlock {
  uint64_t offset;                                      // where the block begins: the signed bytes
  uint64_t length;                                      // its length, without the footer
  SignPublicKey key;                                    // the key id and public key it names
  unsigned char signature[sign_signature_size];         // Ed25519 of the signed bytes' digest
  char comment[sign_comment_max + 1];                   // trusted comment, with a NUL
  size_t comment_length;                                // its length in bytes
  unsigned char global_signature[sign_signature_size];  // Ed25519 of signature + comment
  const char *damage;  // set by sign_find_block when it returns -1: why (a static text)
  int read_error;      // with it, the errno of a read that failed; 0 when the block is at fault
};

// What sign_verify found.
enum class SignVerdict {
  ok,           // the signature holds, made with the block's key (a trusted one when given)
  another_key,  // the block's key is none of the trusted keys
  mismatch,     // the signature does not match the signed bytes
  damaged,      // the global signature does not match the trusted comment
};

// The verdict in words, for messages: "signature verified", "signed by
// another key", "signature does not match", "signature block damaged".
const char *sign_verdict_text(SignVerdict verdict);

// Why comment cannot be a trusted comment ("longer than 1024 bytes", "holds
// a line break"), or null when it can.
const char *sign_comment_problem(const char *comment);

// Writes the block and the footer for an archive whose first offset bytes
// are signed, with hash their BLAKE2b-512 digest (sign_hash_end), signed
// with key, into out (cap bytes; sign_block_max are always enough).
// Returns the number of bytes written, or 0 when comment cannot be a
// trusted comment (sign_comment_problem) or out is too small.
size_t sign_make_block(const SignSecretKey &key, const unsigned char hash[sign_hash_size],
                       uint64_t offset, const char *comment, unsigned char *out, size_t cap);

// Reads the footer and the block of the archive open at fd by pread,
// leaving the file position alone; hostile bytes are expected.  Returns 0
// when the archive is not signed (its end is no footer, and no block begins
// within a block's length of it); 1 with *block set; -1 with block->damage
// saying why the archive cannot count as signed: "footer points outside the
// file", "footer does not follow the block", "signature block damaged",
// "unsupported signature algorithm", "cut inside the signature block",
// "signature footer damaged", "data after the signature block", or the
// system's reason of a read that failed (block->read_error then set).
// Prints nothing.
int sign_find_block(int fd, SignBlock *block);

// Checks the block that sign_find_block found in the archive open at fd:
// with trusted_count trusted keys, that the block's key is one of them (key
// id and public key); that its signature, made with its public key, matches
// the digest of the archive's first block.offset bytes (read by pread, the
// file position left alone); and that its global signature matches its
// trusted comment, in that order.  With no trusted keys, whatever key the
// block names is taken: the check then says only that the archive is whole.
// A file shorter than block.offset (cut since) does not match.  Returns 0
// with *verdict set, or -1 with errno set when a read fails or its 1 MiB
// buffer cannot be had (nothing printed).
int sign_verify(int fd, const SignBlock &block, const SignPublicKey *trusted, int trusted_count,
                SignVerdict *verdict);

// Writes the block as a .minisig file to out: what `minisign -V -x FILE -m
// SIGNED -P KEY` checks, SIGNED being the archive's first block.offset
// bytes.  Returns 0, or -1 with errno set when writing fails.
int sign_write_minisig(const SignBlock &block, FILE *out);

}  // namespace kapsa
