// minisign's key files, read field by field (the layouts are in keys.h).
#include "sign/keys.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium/crypto_generichash_blake2b.h>
#include <sodium/crypto_pwhash_scryptsalsa208sha256.h>
#include <sodium/crypto_sign_ed25519.h>
#include <sodium/utils.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <cstring>

#include "base/memory.h"
#include "base/syserr.h"
#include "io/fdio.h"
#include "base/text.h"
#include "sign/le.h"
#include "sign/password.h"

namespace kapsa {

namespace {

constexpr char comment_prefix[] = "untrusted comment: ";
// The longest key file read: minisign's comments are at most 1,024 bytes.
constexpr size_t key_file_max = 4096;
constexpr size_t public_key_bytes = 2 + sign_key_id_size + sign_public_key_size;
constexpr size_t key_data_bytes = sign_key_id_size + sign_secret_key_size + 32;
constexpr size_t secret_key_bytes = 2 + 2 + 2 + 32 + 8 + 8 + key_data_bytes;
// minisign's strongest scrypt limits (libsodium's "sensitive" ones), which
// are also the ones it always writes; a key asking more is refused.
constexpr uint64_t opslimit_max = 33554432;
constexpr uint64_t memlimit_max = 1073741824;

void say(const char *name, const char *what) {
  fprintf(stderr, "%s: %s\n", Shown(name).text, what);
}

// Reads the file at path into buf (room for key_file_max + 1 bytes) and
// finds its key line: the second line, after one that begins with
// "untrusted comment: ", without its line end and trailing blanks; only
// blank lines may follow.  Returns the key line's length with *line set; 0
// when the file is not laid out so, holds a NUL or is longer than
// key_file_max; -1 after printing the system's reason when it cannot be read.
long key_file_line(const char *path, char *buf, const char **line) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    syserr_report(path);
    return -1;
  }
  size_t len = fdio_read(fd, buf, key_file_max + 1);
  int saved = errno;
  close(fd);
  if (len <= key_file_max && saved != 0) {
    errno = saved;
    syserr_report(path);
    return -1;
  }
  if (len > key_file_max || memchr(buf, '\0', len)) return 0;
  buf[len] = '\0';
  size_t prefix = sizeof comment_prefix - 1;
  char *first_end = strchr(buf, '\n');
  if (strncmp(buf, comment_prefix, prefix) != 0 || !first_end) return 0;
  char *start = first_end + 1;
  char *end = start + strcspn(start, "\n");
  for (const char *rest = end; *rest; rest++)
    if (!strchr(" \t\r\n", *rest)) return 0;
  while (end > start && strchr(" \t\r", end[-1])) end--;
  *line = start;
  return end - start;
}

// Whether the len bytes of base64 at text decode to exactly size bytes into
// out (padded base64 of the usual alphabet, nothing else in it).
bool decode(const char *text, size_t len, unsigned char *out, size_t size) {
  size_t got;
  return sodium_base642bin(out, size, text, len, nullptr, &got, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         got == size;
}

// Reads the key file at path and decodes its key line into out, which
// must come to exactly size bytes.  Returns 0, or -1 after printing
// "<path>: not_what" or the system's reason.
int read_key_file(const char *path, unsigned char *out, size_t size, const char *not_what) {
  char buf[key_file_max + 1];
  const char *line;
  long len = key_file_line(path, buf, &line);
  bool decoded = len > 0 && decode(line, size_t(len), out, size);
  sodium_memzero(buf, sizeof buf);  // a secret key's text
  if (len == 0 || (len > 0 && !decoded)) say(path, not_what);
  return decoded ? 0 : -1;
}

// Unlocks the key data (key id, secret key, checksum) of a protected key
// in place: XORs it with scrypt of the password.  Returns 0, or -1 after
// printing.
int unlock(const char *path, unsigned char *data, const unsigned char *salt, uint64_t opslimit,
           uint64_t memlimit) {
  if (opslimit > opslimit_max || memlimit > memlimit_max) {
    say(path, "unsupported scrypt limits");
    return -1;
  }
  if (!memory_available(memlimit)) {
    fprintf(stderr, "%s: deriving the key from the password needs %llu MiB of memory\n",
            Shown(path).text, (unsigned long long)(memlimit >> 20));
    return -1;
  }
  char password[sign_password_max + 1];
  int len = sign_ask_password(path, password);
  if (len < 0) return -1;
  unsigned char stream[key_data_bytes];
  int derived = crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password, size_t(len),
                                                   salt, opslimit, size_t(memlimit));
  sodium_memzero(password, sizeof password);
  if (derived != 0) {
    fprintf(stderr, "%s: deriving the key from the password needs %llu MiB of memory\n",
            Shown(path).text, (unsigned long long)(memlimit >> 20));
    return -1;
  }
  for (size_t i = 0; i < key_data_bytes; i++) data[i] ^= stream[i];
  sodium_memzero(stream, sizeof stream);
  return 0;
}

}  // namespace

int sign_read_public_key(const char *text_or_path, SignPublicKey *key) {
  unsigned char raw[public_key_bytes];
  const char *not_key = "not a minisign public key";
  if (!decode(text_or_path, strlen(text_or_path), raw, sizeof raw) &&
      read_key_file(text_or_path, raw, sizeof raw, not_key) != 0)
    return -1;
  const unsigned char *p = raw;
  if (memcmp(p, "Ed", 2) != 0) {  // signature algorithm
    say(text_or_path, "unsupported signature algorithm");
    return -1;
  }
  p += 2;
  memcpy(key->id, p, sign_key_id_size);  // key id
  p += sign_key_id_size;
  memcpy(key->key, p, sign_public_key_size);  // Ed25519 public key
  return 0;
}

int sign_read_secret_key(const char *path, SignSecretKey *key) {
  unsigned char raw[secret_key_bytes];
  if (read_key_file(path, raw, sizeof raw, "not a minisign secret key") != 0) return -1;
  const unsigned char *sig_alg = raw;              // signature algorithm
  const unsigned char *kdf_alg = sig_alg + 2;      // key derivation algorithm
  const unsigned char *chk_alg = kdf_alg + 2;      // checksum algorithm
  const unsigned char *salt = chk_alg + 2;         // scrypt salt
  uint64_t opslimit = sign_le_load(salt + 32, 8);  // scrypt opslimit
  uint64_t memlimit = sign_le_load(salt + 40, 8);  // scrypt memlimit
  unsigned char *data = raw + 54;                  // key data
  bool locked = memcmp(kdf_alg, "Sc", 2) == 0;
  if (memcmp(sig_alg, "Ed", 2) != 0 || memcmp(chk_alg, "B2", 2) != 0 ||
      (!locked && memcmp(kdf_alg, "\0\0", 2) != 0)) {
    say(path, "unsupported key algorithm");
    return -1;
  }
  int result = -1;
  if (!locked || unlock(path, data, salt, opslimit, memlimit) == 0) {
    const unsigned char *id = data;                                 // key id
    const unsigned char *secret = id + sign_key_id_size;            // Ed25519 secret key
    const unsigned char *checksum = secret + sign_secret_key_size;  // BLAKE2b-256
    unsigned char summed[2 + sign_key_id_size + sign_secret_key_size], sum[32];
    memcpy(summed, sig_alg, 2);
    memcpy(summed + 2, id, sign_key_id_size);
    memcpy(summed + 2 + sign_key_id_size, secret, sign_secret_key_size);
    crypto_generichash_blake2b(sum, sizeof sum, summed, sizeof summed, nullptr, 0);
    // The public half must be the seed's own: this also catches damage to
    // the keys that minisign writes without a checksum.
    unsigned char pub[crypto_sign_ed25519_PUBLICKEYBYTES],
        again[crypto_sign_ed25519_SECRETKEYBYTES];
    crypto_sign_ed25519_seed_keypair(pub, again, secret);
    bool summed_ok = sodium_memcmp(sum, checksum, sizeof sum) == 0 ||
                     (!locked && sodium_is_zero(checksum, sizeof sum));
    if (summed_ok && memcmp(pub, secret + 32, sizeof pub) == 0) {
      memcpy(key->pub.id, id, sign_key_id_size);
      memcpy(key->pub.key, pub, sizeof pub);
      memcpy(key->secret, secret, sign_secret_key_size);
      result = 0;
    } else {
      say(path, locked ? "wrong password, or the key is damaged" : "the key is damaged");
    }
    sodium_memzero(summed, sizeof summed);
    sodium_memzero(again, sizeof again);
  }
  sodium_memzero(raw, sizeof raw);
  return result;
}

void sign_forget_secret_key(SignSecretKey *key) { sodium_memzero(key, sizeof *key); }

const char *sign_key_id_text(const unsigned char id[sign_key_id_size],
                             char out[sign_key_id_text_size]) {
  // As minisign shows it: the id read as a little-endian number, in
  // upper-case hex without leading zeros.
  static const char digits[] = "0123456789ABCDEF";
  size_t n = 0;
  bool started = false;
  for (size_t i = 0; i < sign_key_id_size; i++) {
    unsigned char byte = id[sign_key_id_size - 1 - i];
    for (unsigned nibble : {unsigned(byte >> 4), unsigned(byte & 15)}) {
      started = started || nibble != 0;
      if (started) out[n++] = digits[nibble];
    }
  }
  if (n == 0) out[n++] = '0';
  out[n] = '\0';
  return out;
}

const char *sign_public_key_text(const SignPublicKey &key, char out[sign_public_key_text_size]) {
  unsigned char raw[public_key_bytes];
  memcpy(raw, "Ed", 2);                                               // signature algorithm
  memcpy(raw + 2, key.id, sign_key_id_size);                          // key id
  memcpy(raw + 2 + sign_key_id_size, key.key, sign_public_key_size);  // public key
  return sodium_bin2base64(out, sign_public_key_text_size, raw, sizeof raw,
                           sodium_base64_VARIANT_ORIGINAL);
}

}  // namespace kapsa
