// Helpers for the tests: temporary directories, files, and running the real
// kapsa binary with exact stdout, stderr and status.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test {

// Under AddressSanitizer every run of the program costs several times what
// it costs in the release build, which takes every case of the tables of
// thousands of runs: the sanitizer build takes every third, and the last.
#ifdef __SANITIZE_ADDRESS__
constexpr size_t sampled_step = 3;
#else
constexpr size_t sampled_step = 1;
#endif
inline bool sampled(size_t i, size_t count) { return i % sampled_step == 0 || i + 1 == count; }

// Path of the kapsa binary under test.
const char *kapsa_bin();

// A fresh directory under /tmp, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string path;
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

void remove_tree(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data, mode_t mode = 0644);
bool exists(const std::string &path);
bool is_symlink(const std::string &path);
// Deterministic bytes that compress like text (seed picks the stream).
std::string text_bytes(size_t size, unsigned seed = 1);
// Deterministic bytes that do not compress.
std::string random_bytes(size_t size, unsigned seed = 1);

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
};

struct RunOptions {
  std::string cwd;                         // working directory; empty: unchanged
  std::string input;                       // stdin; fed through a pipe
  bool input_devnull = false;              // stdin from /dev/null instead
  std::string stdout_file;                 // stdout to this file instead of captured
  std::map<std::string, std::string> env;  // variables to set (or replace)
  std::vector<std::string> unset_env;      // variables to remove
  std::string argv0;                       // argv[0] if not the program path
  int timeout_seconds = 120;               // the child is killed after this
};

// Options that only set the working directory.
inline RunOptions at(const std::string &cwd) {
  RunOptions o;
  o.cwd = cwd;
  return o;
}

// Runs program with args; returns its status and outputs.
Result run(const std::string &program, const std::vector<std::string> &args,
           const RunOptions &opts = {});

// Runs program with args on a pseudo-terminal (no echo, no output
// translation), typing input into it; stdout and stderr both arrive in out.
// A "\x04" at the start of a line is the end of input.
Result run_on_terminal(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input, const std::string &cwd);

// Runs script with "sh -eu" in a private mount namespace, where it may mount
// filesystems; K in its environment is the kapsa binary.
Result in_mount_namespace(const std::string &script, const RunOptions &opts = {});

// Runs a shell command line through /bin/sh -c.
Result sh(const std::string &command, const RunOptions &opts = {});

// The interpreter that "python3" starts, asked once (a version manager's
// wrapper can take a second to start).
const std::string &python_path();

// Runs Python code with args.
Result python(const std::string &code, std::vector<std::string> args);

// Runs the kapsa binary.
inline Result kapsa(const std::vector<std::string> &args, const RunOptions &opts = {}) {
  return run(kapsa_bin(), args, opts);
}

// Builds an archive with kapsa in dir (args relative to dir) into dir/name,
// made executable; fails the test when the build does not exit 0.
std::string build_archive(const TempDir &dir, const std::string &name,
                          const std::vector<std::string> &args);

// Runs fn in a forked child with stdout and stderr captured; the child ends
// with fn's result, or earlier through exit (as fatal errors do).
Result in_child(const std::function<int()> &fn);

// The payload of an archive: what follows the magic and the four texts.
std::string payload_of(const std::string &archive);

// Runs the gzip peer script (tests/gzip_peer.py) with args.
Result gzip_peer(const std::vector<std::string> &args);

// The eleven magic bytes, assembled at run time.
std::string magic();

// Debian's minisign.
constexpr const char *minisign = "/usr/bin/minisign";

// Key pairs made by minisign in a directory of their own, once a run: "w"
// and "o" without a password; "k", made when first asked for, with the
// password "pw" (its scrypt costs seconds and 1 GiB).
struct MinisignKeys {
  MinisignKeys();
  void make(const std::string &name, std::vector<std::string> args,
            const std::string &input) const;
  // The path of one of the files: "w.key", "k.pub", ...
  std::string path(const std::string &file) const;
  // The key id as minisign writes it in the public key's comment (upper-case
  // hex, no leading zeros), which is how kapsa shows it too.
  std::string id(const std::string &name) const;
  // The public key as one line of text (RW...).
  std::string text(const std::string &name) const;
  TempDir dir;
};
const MinisignKeys &minisign_keys();

// Why the static program cannot be tested here, or empty.
inline std::string static_skip() {
  if (!KAPSA_STATIC_PROGRAM) return "the sanitizer build's program is linked dynamically";
  return "";
}

// Whether this process may mount filesystems in a private mount namespace;
// reason tells why not.
bool can_mount(std::string *reason);

}  // namespace test
