// minisign's key files, read for kapsa's signatures.
//
// A public key is a file of two lines, or the text of its second line alone
// (what `minisign -P` takes):
//
//   untrusted comment: <any text>
//   <base64 of the 42 bytes below>
//
//   size  field
//   2     signature algorithm: "Ed" (Ed25519)
//   8     key id
//   32    Ed25519 public key
//
// A secret key file has the same two lines, over 158 bytes:
//
//   size  field
//   2     signature algorithm: "Ed"
//   2     key derivation algorithm: "Sc" (scrypt, the key is protected by a
//         password), or two zero bytes (not protected: `minisign -G -W`)
//   2     checksum algorithm: "B2" (BLAKE2b-256)
//   32    scrypt salt
//   8     scrypt opslimit, little-endian
//   8     scrypt memlimit, little-endian
//   104   key data, XORed with as many bytes of scrypt(password, salt,
//         opslimit, memlimit) when the key is protected:
//           8    key id
//           64   Ed25519 secret key (32 seed bytes, then the public key)
//           32   checksum: BLAKE2b-256 of "Ed", key id and secret key
//
// The scrypt limits are libsodium's (crypto_pwhash_scryptsalsa208sha256),
// which turns them into scrypt's N, r and p: minisign's keys say 2^25 and
// 1 GiB, which is N = 2^20, r = 8, p = 1 and 1 GiB of memory.  minisign 0.11
// writes an all-zero checksum into keys that are not protected.
#pragma once

#include <cstddef>

namespace kapsa {

// A key id (minisign's), an Ed25519 public key and secret key.
constexpr size_t sign_key_id_size = 8, sign_public_key_size = 32, sign_secret_key_size = 64;
// Room for a key id as minisign shows it: 16 hex digits and a NUL.
constexpr size_t sign_key_id_text_size = 17;
// Room for a public key as minisign's one-line text ("RW...") and a NUL.
constexpr size_t sign_public_key_text_size = 57;

// A public key, or the public half of a secret one.
struct SignPublicKey {
  unsigned char id[sign_key_id_size];       // key id, in the byte order of the files
  unsigned char key[sign_public_key_size];  // Ed25519 public key
};

// A secret key, read and unlocked.
struct SignSecretKey {
  SignPublicKey pub;                           // its public half
  unsigned char secret[sign_secret_key_size];  // Ed25519 secret key: seed, then public key
};

// Reads the public key that text_or_path stands for: minisign's one-line
// text of a key ("RW..."), else the name of a public key file.  Returns 0
// with *key set, or -1 after printing one line naming text_or_path: the
// system's reason when the file cannot be read, "not a minisign public key",
// or "unsupported signature algorithm".
int sign_read_public_key(const char *text_or_path, SignPublicKey *key);

// Reads the secret key file at path, asking for its password on the
// terminal when it is protected by one (sign_ask_password).  Returns 0 with
// *key set, or -1 after printing one line that names path: the system's
// reason when the file cannot be read, "not a minisign secret key",
// "unsupported key algorithm", "unsupported scrypt limits" (more than
// minisign's strongest), the memory that deriving the key needs when there
// is not as much, "wrong password, or the key is damaged", "the key is
// damaged" (a key without a password), or what sign_ask_password prints.
// Nothing secret is left behind in memory but *key; sign_forget_secret_key
// clears that.
int sign_read_secret_key(const char *path, SignSecretKey *key);

// Overwrites *key with zeros, so that no copy of the secret stays in memory.
void sign_forget_secret_key(SignSecretKey *key);

// Writes the key id as minisign shows it (upper-case hex of the id read as
// a little-endian number: its last byte first) into out; returns out.
const char *sign_key_id_text(const unsigned char id[sign_key_id_size],
                             char out[sign_key_id_text_size]);

// Writes the public key as minisign's one-line text ("RW..." , what
// `minisign -V -P` takes) into out; returns out.
const char *sign_public_key_text(const SignPublicKey &key, char out[sign_public_key_text_size]);

}  // namespace kapsa
