// Publisher signatures: keys made by minisign, blocks that minisign checks,
// minisign's own signatures checked here, and every way a signed archive
// can be damaged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sodium/utils.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sign/block.h"
#include "sign/keys.h"
#include "support.h"

using kapsa::SignBlock;
using kapsa::SignPublicKey;
using kapsa::SignSecretKey;
using kapsa::SignVerdict;
using test::Result;
using test::TempDir;

namespace {

using test::minisign;

std::string base64(const std::string &bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(&out[0], out.size(), reinterpret_cast<const unsigned char *>(bytes.data()),
                    bytes.size(), sodium_base64_VARIANT_ORIGINAL);
  out.resize(strlen(out.c_str()));
  return out;
}

std::string unbase64(const std::string &text) {
  std::string out(text.size(), '\0');
  size_t len = 0;
  sodium_base642bin(reinterpret_cast<unsigned char *>(&out[0]), out.size(), text.data(),
                    text.size(), nullptr, &len, nullptr, sodium_base64_VARIANT_ORIGINAL);
  out.resize(len);
  return out;
}

std::string line_of(const std::string &text, int n) {
  size_t at = 0;
  for (int i = 0; i < n; i++) at = text.find('\n', at) + 1;
  return text.substr(at, text.find('\n', at) - at);
}

std::string le(uint64_t value, int size) {
  std::string out;
  for (int i = 0; i < size; i++, value >>= 8) out += char(value & 0xff);
  return out;
}

std::string bytes_of(const unsigned char *p, size_t size) {
  return std::string(reinterpret_cast<const char *>(p), size);
}

const test::MinisignKeys &keys() { return test::minisign_keys(); }

// The secret and the public key of a pair of keys(), read by kapsa.
SignSecretKey secret_key(const std::string &name) {
  SignSecretKey key;
  EXPECT_EQ(kapsa::sign_read_secret_key(keys().path(name + ".key").c_str(), &key), 0);
  return key;
}

SignPublicKey public_key(const std::string &name) {
  SignPublicKey key;
  EXPECT_EQ(kapsa::sign_read_public_key(keys().path(name + ".pub").c_str(), &key), 0);
  return key;
}

// bytes with kapsa's block and footer after them, signed with key; the
// digest is fed in pieces of a prime number of bytes, as a build writes.
std::string signed_copy(const SignSecretKey &key, const std::string &bytes,
                        const char *comment = "kapsa test") {
  kapsa::SignHash h;
  kapsa::sign_hash_begin(h);
  for (size_t at = 0; at < bytes.size(); at += 997)
    kapsa::sign_hash_update(h, bytes.data() + at, std::min<size_t>(997, bytes.size() - at));
  unsigned char hash[kapsa::sign_hash_size], block[kapsa::sign_block_max];
  kapsa::sign_hash_end(h, hash);
  size_t n = kapsa::sign_make_block(key, hash, bytes.size(), comment, block, sizeof block);
  EXPECT_GT(n, 0u);
  return bytes + bytes_of(block, n);
}

// What sign_find_block and sign_verify make of archive: "unsigned", the
// damage, or the verdict; block is set when there is one.
std::string outcome(const TempDir &dir, const std::string &archive,
                    std::vector<SignPublicKey> trusted, SignBlock *block = nullptr) {
  std::string path = dir / "archive";
  test::write_file(path, archive);
  int fd = open(path.c_str(), O_RDONLY);
  SignBlock found;
  int result = kapsa::sign_find_block(fd, &found);
  std::string said = result == 0 ? "unsigned" : result < 0 ? found.damage : "";
  SignVerdict verdict;
  if (result == 1 &&
      kapsa::sign_verify(fd, found, trusted.data(), int(trusted.size()), &verdict) != 0)
    said = "read failed";
  else if (result == 1)
    said = kapsa::sign_verdict_text(verdict);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << "the file position moved";
  close(fd);
  if (block) *block = found;
  return said;
}

TEST(Sign, ReadsTheKeysMinisignMakes) {
  for (const char *name : {"w", "o"}) {
    std::string pub_file = test::read_file(keys().path(std::string(name) + ".pub"));
    SignPublicKey pub = public_key(name), bare;
    char id[kapsa::sign_key_id_text_size], text[kapsa::sign_public_key_text_size];
    EXPECT_EQ(line_of(pub_file, 0), std::string("untrusted comment: minisign public key ") +
                                        kapsa::sign_key_id_text(pub.id, id));
    EXPECT_EQ(kapsa::sign_public_key_text(pub, text), line_of(pub_file, 1));
    ASSERT_EQ(kapsa::sign_read_public_key(text, &bare), 0);
    EXPECT_EQ(memcmp(&bare, &pub, sizeof pub), 0);
  }
  SignSecretKey secret = secret_key("w");
  SignPublicKey pub = public_key("w");
  EXPECT_EQ(memcmp(&secret.pub, &pub, sizeof pub), 0);
}

TEST(Sign, MinisignChecksWhatKapsaSigns) {
  TempDir dir;
  std::string bytes = test::random_bytes(100003, 5);
  SignSecretKey key = secret_key("w");
  char pub_text[kapsa::sign_public_key_text_size];
  kapsa::sign_public_key_text(key.pub, pub_text);
  test::write_file(dir / "signed", bytes);
  for (std::string comment : {std::string(), std::string("kapsa 1.2, \"f\xc3\xbcr\" all"),
                              std::string(kapsa::sign_comment_max, 'c')}) {
    SignBlock block;
    ASSERT_EQ(outcome(dir, signed_copy(key, bytes, comment.c_str()), {public_key("w")}, &block),
              "signature verified");
    EXPECT_EQ(block.offset, bytes.size());
    EXPECT_EQ(block.comment, comment);
    FILE *out = fopen((dir / "signed.minisig").c_str(), "w");
    ASSERT_EQ(kapsa::sign_write_minisig(block, out), 0);
    fclose(out);
    Result r = test::run(minisign, {"-V", "-x", "signed.minisig", "-m", "signed", "-P", pub_text},
                         test::at(dir.path));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Signature and comment signature verified\nTrusted comment: " + comment + "\n");
  }
  unsigned char hash[kapsa::sign_hash_size] = {}, out[kapsa::sign_block_max];
  for (std::string bad : {std::string("two\nlines"), std::string("cr\r"), std::string(1025, 'c')})
    EXPECT_EQ(kapsa::sign_make_block(key, hash, 0, bad.c_str(), out, sizeof out), 0u) << bad;
  EXPECT_EQ(kapsa::sign_make_block(key, hash, 0, "", out, kapsa::sign_block_min + 23), 0u);
}

TEST(Sign, KapsaChecksWhatMinisignSigns) {
  TempDir dir;
  std::string bytes = test::random_bytes(70001, 6);
  test::write_file(dir / "data", bytes);
  Result r =
      test::run(minisign, {"-S", "-s", keys().path("w.key"), "-m", "data", "-t", "by minisign"},
                test::at(dir.path));
  ASSERT_EQ(r.status, 0) << r.err;
  // The .minisig as a kapsa block, put together here field by field.
  std::string sig = test::read_file(dir / "data.minisig");
  std::string alg_id_sig = unbase64(line_of(sig, 1)), comment = line_of(sig, 2).substr(17);
  ASSERT_EQ(alg_id_sig.substr(0, 2), "ED") << "minisign signs prehashed";
  SignPublicKey pub = public_key("w");
  std::string block = "KAPSASIG" + alg_id_sig.substr(0, 10) + bytes_of(pub.key, 32) +
                      alg_id_sig.substr(10) + le(comment.size(), 2) + comment +
                      unbase64(line_of(sig, 3));
  std::string footer = le(bytes.size(), 8) + le(block.size(), 8) + "KAPSAEND";
  SignBlock found;
  EXPECT_EQ(outcome(dir, bytes + block + footer, {pub}, &found), "signature verified");
  EXPECT_STREQ(found.comment, "by minisign");
}

TEST(Sign, EveryDamageHasItsVerdict) {
  TempDir dir;
  SignSecretKey key = secret_key("w");
  std::string bytes = test::random_bytes(4000, 7);
  std::string good = signed_copy(key, bytes, "tc");
  size_t d = bytes.size(), f = good.size() - 24, global = d + 116 + 2;
  auto flipped = [&](size_t at) { return std::string(good).replace(at, 1, 1, good[at] ^ 1); };
  auto placed = [&](size_t at, const std::string &bytes) {
    return std::string(good).replace(at, bytes.size(), bytes);
  };
  std::string other = signed_copy(key, test::random_bytes(4000, 8), "tc");
  std::vector<SignPublicKey> w = {public_key("w")}, o = {public_key("o")}, none;
  struct Case {
    const char *what;
    std::string archive;
    std::vector<SignPublicKey> trusted;
    std::string said;
  } cases[] = {
      {"nothing", good, w, "signature verified"},
      {"a signed byte at the start", flipped(0), w, "signature does not match"},
      {"a signed byte in the middle", flipped(d / 2), w, "signature does not match"},
      {"the last signed byte", flipped(d - 1), w, "signature does not match"},
      {"the signature", flipped(d + 50 + 9), w, "signature does not match"},
      {"the key id", flipped(d + 10), w, "signed by another key"},
      {"the public key", flipped(d + 18 + 3), w, "signed by another key"},
      {"the public key, no key trusted", flipped(d + 18 + 3), none, "signature does not match"},
      {"the key id, no key trusted", flipped(d + 10), none, "signature verified"},
      {"the trusted comment", flipped(d + 116), w, "signature block damaged"},
      {"the global signature", flipped(global + 63), w, "signature block damaged"},
      {"the block magic", flipped(d), w, "signature block damaged"},
      {"the algorithm", placed(d + 8, "Ed"), w, "unsupported signature algorithm"},
      {"the comment length", flipped(d + 114), w, "signature block damaged"},
      {"a line break in the comment", placed(d + 116, "\n"), w, "signature block damaged"},
      {"the footer's offset, less", placed(f, le(d - 1, 8)), w, "footer does not follow the block"},
      {"the footer's offset, more", placed(f, le(d + 1, 8)), w, "footer points outside the file"},
      {"the footer's offset, huge", placed(f, le(~0ull, 8)), w, "footer points outside the file"},
      {"the footer's length", placed(f + 8, le(~0ull - d, 8)), w, "footer points outside the file"},
      {"the footer's magic", flipped(f + 16), w, "signature footer damaged"},
      {"cut inside the block", good.substr(0, global), w, "cut inside the signature block"},
      {"cut inside the footer", good.substr(0, f + 20), w, "cut inside the signature block"},
      {"block and footer cut off", bytes, w, "unsigned"},
      {"bytes after the footer", good + "more", w, "data after the signature block"},
      {"another file's block", bytes + other.substr(d), w, "signature does not match"},
      {"another key trusted", good, o, "signed by another key"},
      {"two keys trusted", good, {public_key("o"), public_key("w")}, "signature verified"},
  };
  for (const Case &c : cases) EXPECT_EQ(outcome(dir, c.archive, c.trusted), c.said) << c.what;
}

// Every cut of the block and footer, a bit of each of their bytes flipped: nothing
// passes, nothing reads out of bounds (the sanitizer build watches).
TEST(Sign, NoCutOrFlippedBitOfTheBlockPasses) {
  TempDir dir;
  std::string bytes = test::random_bytes(300, 9);
  std::string good = signed_copy(secret_key("w"), bytes, "release");
  for (size_t len = 0; len < good.size(); len++)
    EXPECT_NE(outcome(dir, good.substr(0, len), {public_key("w")}), "signature verified") << len;
  for (size_t at = bytes.size(); at < good.size(); at++) {
    std::string archive = good;
    archive[at] ^= char(1 << at % 8);
    EXPECT_NE(outcome(dir, archive, {public_key("w")}), "signature verified") << at;
  }
}

// w.key with the bytes at offset at replaced.
std::string key_file(size_t at, const std::string &bytes) {
  std::string text = test::read_file(keys().path("w.key"));
  std::string raw = unbase64(line_of(text, 1));
  raw.replace(at, bytes.size(), bytes);
  return line_of(text, 0) + "\n" + base64(raw) + "\n";
}

TEST(Sign, KeyFilesThatCannotServe) {
  TempDir dir;
  std::string pub = test::read_file(keys().path("w.pub")), salt(32, 's');
  struct Case {
    std::string name;  // a file in dir, or the key text itself
    std::string content;
    bool secret;
    std::string err;  // after "<name>: "
  } cases[] = {
      {"missing", "", true, "No such file or directory"},
      {"plain", "hello\n", true, "not a minisign secret key"},
      {"pub", pub, true, "not a minisign secret key"},
      {"cut", key_file(0, "").substr(0, 100) + "\n", true, "not a minisign secret key"},
      {"long", key_file(0, "") + std::string(5000, '\n'), true, "not a minisign secret key"},
      {"signature algorithm", key_file(0, "Ee"), true, "unsupported key algorithm"},
      {"derivation", key_file(2, "Sd"), true, "unsupported key algorithm"},
      {"checksum algorithm", key_file(4, "B3"), true, "unsupported key algorithm"},
      {"secret", key_file(54 + 8 + 5, "x"), true, "the key is damaged"},
      {"public half", key_file(54 + 8 + 40, "x"), true, "the key is damaged"},
      {"checksum", key_file(54 + 72 + 31, "x"), true, "the key is damaged"},
      {"opslimit", key_file(2, "ScB2" + salt + le(33554433, 8) + le(1 << 30, 8)), true,
       "unsupported scrypt limits"},
      {"memlimit", key_file(2, "ScB2" + salt + le(33554432, 8) + le((1 << 30) + 1, 8)), true,
       "unsupported scrypt limits"},
      {"no terminal", key_file(2, "ScB2" + salt + le(32768, 8) + le(1 << 24, 8)), true,
       "the key is protected by a password and there is no terminal to ask it on"},
      {"missing", "", false, "No such file or directory"},
      {"secret key", test::read_file(keys().path("w.key")), false, "not a minisign public key"},
      {"no comment", line_of(pub, 1) + "\n", false, "not a minisign public key"},
      {"two keys", pub + line_of(pub, 1) + "\n", false, "not a minisign public key"},
      {"algorithm", line_of(pub, 0) + "\n" + base64("Ee" + unbase64(line_of(pub, 1)).substr(2)),
       false, "unsupported signature algorithm"},
      {"RWQ!" + std::string(52, 'A'), "", false, "No such file or directory"},
      {"RUQA" + std::string(52, 'A'), "", false, "unsupported signature algorithm"},
  };
  for (const Case &c : cases) {
    std::string path = c.name[0] == 'R' ? c.name : dir / c.name;
    if (!c.content.empty()) test::write_file(path, c.content);
    Result r = test::in_child([&] {
      setsid();  // no controlling terminal
      SignSecretKey secret;
      SignPublicKey pub;
      return c.secret ? kapsa::sign_read_secret_key(path.c_str(), &secret) != 0
                      : kapsa::sign_read_public_key(path.c_str(), &pub) != 0;
    });
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, path + ": " + c.err + "\n") << c.name;
    unlink(path.c_str());
  }
}

// Reads the secret key at path in a child whose terminal is a
// pseudo-terminal, typing typed when "Password: " shows.  Returns what the terminal showed and the
// child's status; *echo_while_asked tells whether echo was on while it asked.
Result ask_on_terminal(const std::string &path, const std::string &typed, bool *echo_while_asked) {
  struct termios modes = {};
  modes.c_iflag = ICRNL;
  modes.c_lflag = ICANON | ISIG | ECHO;
  modes.c_cflag = CS8 | CREAD;
  modes.c_cc[VINTR] = 3;
  modes.c_cc[VEOF] = 4;
  modes.c_cc[VMIN] = 1;
  int master;
  pid_t pid = forkpty(&master, nullptr, &modes, nullptr);
  if (pid == 0) {
    SignSecretKey key;
    char id[kapsa::sign_key_id_text_size];
    if (kapsa::sign_read_secret_key(path.c_str(), &key) != 0) _exit(1);
    printf("key %s\n", kapsa::sign_key_id_text(key.pub.id, id));
    fflush(stdout);
    _exit(0);
  }
  Result result;
  bool typed_yet = false;
  time_t deadline = time(nullptr) + 60;
  while (time(nullptr) < deadline) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buf[256];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;  // the child has closed the terminal
      result.out.append(buf, size_t(n));
    }
    if (!typed_yet && result.out.find("Password: ") != std::string::npos) {
      struct termios now;
      tcgetattr(master, &now);
      *echo_while_asked = now.c_lflag & ECHO;
      typed_yet = write(master, typed.data(), typed.size()) == ssize_t(typed.size());
    }
  }
  struct termios after;
  tcgetattr(master, &after);
  EXPECT_TRUE(after.c_lflag & ECHO) << "echo stays off";
  close(master);
  int status;
  waitpid(pid, &status, 0);
  result.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

TEST(Sign, AsksThePasswordOnTheTerminal) {
  TempDir dir;
  char id[kapsa::sign_key_id_text_size];
  kapsa::sign_key_id_text(public_key("k").id, id);
  // A wrong password costs a derivation too: tried on w.key protected with
  // scrypt limits cheaper than minisign's.
  std::string k = keys().path("k.key"), cheap = dir / "cheap.key";
  test::write_file(cheap,
                   key_file(2, "ScB2" + std::string(32, 's') + le(32768, 8) + le(1 << 24, 8)));
  struct Case {
    std::string key, typed, shown;
    int status;
  } cases[] = {
      {k, "pw\n", "Password: \nkey " + std::string(id) + "\n", 0},
      {cheap, "pw\n", "Password: \n" + cheap + ": wrong password, or the key is damaged\n", 1},
      {k, "\x03", "Password: ", 128 + SIGINT},
  };
  for (const Case &c : cases) {
    bool echo = true;
    Result r = ask_on_terminal(c.key, c.typed, &echo);
    EXPECT_FALSE(echo) << c.typed;
    EXPECT_EQ(r.out, c.shown) << c.typed;
    EXPECT_EQ(r.status, c.status) << c.typed;
  }
}

}  // namespace
