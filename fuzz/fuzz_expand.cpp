// Fuzz target: expand_command on arbitrary templates, payload names and
// working directories.
//
// The input is three texts separated by NUL bytes: the command template, the
// payload name (cut to 1,023 characters) and the name of a directory that is
// made under a scratch directory and entered for the expansion ("/" becomes
// "_", and the name is cut to 255 characters).  Both forms of the expansion,
// plain and quoted, are compared with a straightforward one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "extract/command.h"
#include "fuzz_support.h"
#include "payload/payload.h"

using namespace kapsa;

namespace {

constexpr size_t command_limit = 2047;  // characters of an expanded command

char scratch[] = "/tmp/kapsa-fuzz-expand.XXXXXX";
int home_fd = -1;  // the directory the fuzzer started in, where its paths lead

void remove_scratch() { rmdir(scratch); }

std::string shell_word(const std::string &text) {
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

std::string reference_expansion(const std::string &command, const std::string &name,
                                const std::string &cwd, bool quote) {
  std::string out;
  for (size_t i = 0; i < command.size(); i++) {
    if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == 'o') {
      out += quote ? shell_word(name) : name;
      i++;
    } else if (command[i] == '%' && i + 1 < command.size() && command[i + 1] == 'p') {
      out += quote ? shell_word(cwd) : cwd;
      i++;
    } else if (command[i] == '%' && i + 1 < command.size()) {
      out += command.substr(i, 2);  // "%%", "%x": both characters as they are
      i++;
    } else {
      out += command[i];
    }
  }
  return out;
}

void check_expansion(const std::string &command, const std::string &name, const std::string &cwd,
                     bool quote) {
  std::string expected = reference_expansion(command, name, cwd, quote);
  char *got = expand_command(command.c_str(), name.c_str(), "archive", quote);
  if (expected.size() > command_limit) {
    if (got) abort();  // a command is never handed out cut
    return;
  }
  if (!got || expected != got) {
    fprintf(stderr, "expansion of \"%s\" (quote %d):\n  got      \"%s\"\n  expected \"%s\"\n",
            command.c_str(), int(quote), got ? got : "(null)", expected.c_str());
    abort();
  }
  free(got);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!mkdtemp(scratch)) {
    perror("mkdtemp");
    abort();
  }
  atexit(remove_scratch);
  home_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home_fd < 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> texts = fuzz::split_texts(data, size, 3);
  std::string name = texts[1].substr(0, payload_name_size - 1);

  std::string dir = texts[2].substr(0, NAME_MAX);
  for (char &c : dir)
    if (c == '/') c = '_';
  if (dir.empty() || dir == "." || dir == "..") dir += "d";
  std::string cwd = std::string(scratch) + "/" + dir;
  if (mkdir(cwd.c_str(), 0700) != 0 || chdir(cwd.c_str()) != 0) {
    perror(cwd.c_str());
    abort();
  }
  check_expansion(texts[0], name, cwd, false);
  check_expansion(texts[0], name, cwd, true);
  if (fchdir(home_fd) != 0 || rmdir(cwd.c_str()) != 0) abort();
  return 0;
}
