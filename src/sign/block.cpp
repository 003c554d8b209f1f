// kapsa's signature block and footer, written, found and checked (the
// layout is in block.h).
#include "sign/block.h"

#include <errno.h>
#include <sodium/crypto_sign_ed25519.h>
#include <sodium/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "base/syserr.h"
#include "io/fdio.h"
#include "sign/le.h"

namespace kapsa {

namespace {

constexpr char block_magic[] = "KAPSASIG";
constexpr char footer_magic[] = "KAPSAEND";
constexpr size_t magic_size = 8;
constexpr char algorithm[] = "ED";
// Where the fields begin in a block.
constexpr size_t at_algorithm = magic_size;
constexpr size_t at_key_id = at_algorithm + 2;
constexpr size_t at_public_key = at_key_id + sign_key_id_size;
constexpr size_t at_signature = at_public_key + sign_public_key_size;
constexpr size_t at_comment_length = at_signature + sign_signature_size;
constexpr size_t at_comment = at_comment_length + 2;
static_assert(at_comment + sign_signature_size == sign_block_min, "the block's fixed fields");

constexpr const char *damaged = "signature block damaged";

// The signature and trusted comment, one after the other: what the global
// signature signs.  Returns its length.
size_t signed_comment(const unsigned char *signature, const char *comment, size_t comment_length,
                      unsigned char out[sign_signature_size + sign_comment_max]) {
  memcpy(out, signature, sign_signature_size);
  memcpy(out + sign_signature_size, comment, comment_length);
  return sign_signature_size + comment_length;
}

// Reads the length bytes of a block at p into *block.  Returns null, or why
// it is no block kapsa can check.
const char *parse_block(const unsigned char *p, size_t length, SignBlock *block) {
  if (memcmp(p, block_magic, magic_size) != 0) return damaged;  // magic
  if (memcmp(p + at_algorithm, algorithm, 2) != 0)              // signature algorithm
    return "unsupported signature algorithm";
  memcpy(block->key.id, p + at_key_id, sign_key_id_size);           // key id
  memcpy(block->key.key, p + at_public_key, sign_public_key_size);  // public key
  memcpy(block->signature, p + at_signature, sign_signature_size);  // signature
  size_t c = size_t(sign_le_load(p + at_comment_length, 2));        // comment length
  if (c > sign_comment_max || sign_block_min + c != length) return damaged;
  memcpy(block->comment, p + at_comment, c);  // trusted comment
  block->comment[c] = '\0';
  block->comment_length = c;
  if (strlen(block->comment) != c || strpbrk(block->comment, "\r\n")) return damaged;
  memcpy(block->global_signature, p + at_comment + c, sign_signature_size);  // global signature
  return nullptr;
}

// Why the last len bytes of a file whose end is no footer cannot count as
// unsigned: a block begins within them, so the file was cut inside the block
// or its footer, its footer is damaged, or bytes were added after it.  Null
// when no block begins there.
const char *look_for_block(const unsigned char *tail, size_t len) {
  for (size_t p = 0; p + at_key_id <= len; p++) {
    if (memcmp(tail + p, block_magic, magic_size) != 0 ||
        memcmp(tail + p + at_algorithm, algorithm, 2) != 0)
      continue;
    size_t left = len - p;
    if (left < at_comment) return "cut inside the signature block";
    size_t c = size_t(sign_le_load(tail + p + at_comment_length, 2));
    if (c > sign_comment_max) continue;
    size_t whole = sign_block_min + c + sign_footer_size;
    if (left < whole) return "cut inside the signature block";
    return left == whole ? "signature footer damaged" : "data after the signature block";
  }
  return nullptr;
}

// BLAKE2b-512 of the first size bytes of fd, read by pread.  Returns 0 with
// out set; 1 when the file is shorter; -1 with errno set when a read fails
// or no buffer can be had.
int hash_file(int fd, uint64_t size, unsigned char out[sign_hash_size]) {
  constexpr size_t buffer_size = 1 << 20;
  unsigned char *buf = static_cast<unsigned char *>(malloc(buffer_size));
  if (!buf) return -1;
  SignHash h;
  sign_hash_begin(h);
  uint64_t at = 0;
  int result = 0;
  while (at < size) {
    size_t want = size - at < buffer_size ? size_t(size - at) : buffer_size;
    if (fdio_read_at(fd, (long long)at, buf, want) < want) {
      result = errno != 0 ? -1 : 1;
      break;
    }
    sign_hash_update(h, buf, want);
    at += want;
  }
  int saved_errno = errno;
  free(buf);
  errno = saved_errno;
  if (result == 0) sign_hash_end(h, out);
  return result;
}

}  // namespace

const char *sign_verdict_text(SignVerdict verdict) {
  switch (verdict) {
    case SignVerdict::ok:
      return "signature verified";
    case SignVerdict::another_key:
      return "signed by another key";
    case SignVerdict::mismatch:
      return "signature does not match";
    case SignVerdict::damaged:
      break;
  }
  return "signature block damaged";
}

const char *sign_comment_problem(const char *comment) {
  if (strlen(comment) > sign_comment_max) return "longer than 1024 bytes";
  if (strpbrk(comment, "\r\n")) return "holds a line break";
  return nullptr;
}

size_t sign_make_block(const SignSecretKey &key, const unsigned char hash[sign_hash_size],
                       uint64_t offset, const char *comment, unsigned char *out, size_t cap) {
  if (sign_comment_problem(comment)) return 0;
  size_t c = strlen(comment);
  size_t length = sign_block_min + c;
  if (cap < length + sign_footer_size) return 0;
  unsigned char *p = out;
  memcpy(p, block_magic, magic_size);  // magic
  p += magic_size;
  memcpy(p, algorithm, 2);  // signature algorithm
  p += 2;
  memcpy(p, key.pub.id, sign_key_id_size);  // key id
  p += sign_key_id_size;
  memcpy(p, key.pub.key, sign_public_key_size);  // public key
  p += sign_public_key_size;
  const unsigned char *signature = p;  // signature
  crypto_sign_ed25519_detached(p, nullptr, hash, sign_hash_size, key.secret);
  p += sign_signature_size;
  p = sign_le_store(p, c, 2);  // trusted comment length
  memcpy(p, comment, c);       // trusted comment
  p += c;
  unsigned char globally_signed[sign_signature_size + sign_comment_max];
  size_t n = signed_comment(signature, comment, c, globally_signed);
  crypto_sign_ed25519_detached(p, nullptr, globally_signed, n, key.secret);  // global signature
  p += sign_signature_size;
  p = sign_le_store(p, offset, 8);      // footer: block offset
  p = sign_le_store(p, length, 8);      // block length
  memcpy(p, footer_magic, magic_size);  // magic
  p += magic_size;
  return size_t(p - out);
}

int sign_find_block(int fd, SignBlock *block) {
  block->damage = nullptr;
  block->read_error = 0;
  struct stat st;
  unsigned char tail[sign_block_max];
  size_t len = 0;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else {
    uint64_t size = uint64_t(st.st_size);
    len = size < sizeof tail ? size_t(size) : sizeof tail;
    if (fdio_read_at(fd, (long long)(size - len), tail, len) < len)
      error = errno != 0 ? errno : EIO;  // shorter than fstat said: changed meanwhile
  }
  if (error != 0) {
    block->read_error = error;
    block->damage = syserr_text(block->read_error);
    return -1;
  }
  uint64_t size = uint64_t(st.st_size);
  if (len < sign_footer_size || memcmp(tail + len - magic_size, footer_magic, magic_size) != 0) {
    block->damage = look_for_block(tail, len);
    return block->damage ? -1 : 0;
  }
  const unsigned char *footer = tail + len - sign_footer_size;
  uint64_t offset = sign_le_load(footer, 8);      // block offset
  uint64_t length = sign_le_load(footer + 8, 8);  // block length
  uint64_t before = size - sign_footer_size;      // the bytes before the footer
  if (offset > before || length > before - offset)
    block->damage = "footer points outside the file";
  else if (offset + length != before)
    block->damage = "footer does not follow the block";
  else if (length < sign_block_min || length > sign_block_min + sign_comment_max)
    block->damage = damaged;
  else  // the whole block is in the tail read
    block->damage = parse_block(footer - length, size_t(length), block);
  if (block->damage) return -1;
  block->offset = offset;
  block->length = length;
  return 1;
}

int sign_verify(int fd, const SignBlock &block, const SignPublicKey *trusted, int trusted_count,
                SignVerdict *verdict) {
  bool known = trusted_count <= 0;
  for (int i = 0; i < trusted_count && !known; i++)
    known = memcmp(trusted[i].id, block.key.id, sign_key_id_size) == 0 &&
            memcmp(trusted[i].key, block.key.key, sign_public_key_size) == 0;
  if (!known) {
    *verdict = SignVerdict::another_key;
    return 0;
  }
  unsigned char hash[sign_hash_size];
  int hashed = hash_file(fd, block.offset, hash);
  if (hashed < 0) return -1;
  unsigned char globally_signed[sign_signature_size + sign_comment_max];
  size_t n = signed_comment(block.signature, block.comment, block.comment_length, globally_signed);
  if (hashed > 0 || crypto_sign_ed25519_verify_detached(block.signature, hash, sign_hash_size,
                                                        block.key.key) != 0)
    *verdict = SignVerdict::mismatch;
  else if (crypto_sign_ed25519_verify_detached(block.global_signature, globally_signed, n,
                                               block.key.key) != 0)
    *verdict = SignVerdict::damaged;
  else
    *verdict = SignVerdict::ok;
  return 0;
}

int sign_write_minisig(const SignBlock &block, FILE *out) {
  unsigned char raw[2 + sign_key_id_size + sign_signature_size];
  memcpy(raw, algorithm, 2);                                                 // signature algorithm
  memcpy(raw + 2, block.key.id, sign_key_id_size);                           // key id
  memcpy(raw + 2 + sign_key_id_size, block.signature, sign_signature_size);  // signature
  char id[sign_key_id_text_size];
  char line[sodium_base64_ENCODED_LEN(sizeof raw, sodium_base64_VARIANT_ORIGINAL)];
  char global[sodium_base64_ENCODED_LEN(sign_signature_size, sodium_base64_VARIANT_ORIGINAL)];
  sodium_bin2base64(line, sizeof line, raw, sizeof raw, sodium_base64_VARIANT_ORIGINAL);
  sodium_bin2base64(global, sizeof global, block.global_signature, sign_signature_size,
                    sodium_base64_VARIANT_ORIGINAL);
  if (fprintf(out, "untrusted comment: kapsa archive signature, key ID %s\n%s\n",
              sign_key_id_text(block.key.id, id), line) < 0 ||
      fprintf(out, "trusted comment: %s\n%s\n", block.comment, global) < 0 || fflush(out) != 0)
    return -1;
  return 0;
}

}  // namespace kapsa
