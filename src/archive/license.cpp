// Storing, showing and accepting a licence.
#include "archive/license.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/fatal.h"
#include "base/spawn.h"
#include "base/syserr.h"
#include "base/text.h"
#include "io/fdio.h"

namespace kapsa {

namespace {

using Text = std::unique_ptr<char, decltype(&free)>;

// The length of the well-formed UTF-8 character at p (of at most left
// bytes), or 0: no overlong form, no surrogate, nothing past U+10FFFF, and
// no C1 control (U+0080 to U+009F), which some terminals obey.
size_t utf8_char(const unsigned char *p, size_t left) {
  unsigned char c = p[0];
  size_t len = c < 0x80 ? 1 : c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
             : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
  if (len == 0 || len > left) return 0;
  for (size_t i = 1; i < len; i++)
    if ((p[i] & 0xc0) != 0x80) return 0;
  unsigned char second = len > 1 ? p[1] : 0;
  if ((c == 0xc2 && second < 0xa0) || (c == 0xe0 && second < 0xa0) ||
      (c == 0xed && second > 0x9f) || (c == 0xf0 && second < 0x90) ||
      (c == 0xf4 && second > 0x8f))
    return 0;
  return len;
}

// Reads the licence of a into a new text.  Null after a message.
Text read_license(const Archive &a) {
  Text text(static_cast<char *>(malloc(size_t(a.license_bytes) + 1)), free);
  if (!text) {
    errno = ENOMEM;
    syserr_report(a.name);
    return text;
  }
  size_t got = fdio_read_at(a.fd, a.license_offset, text.get(), size_t(a.license_bytes));
  if (got != size_t(a.license_bytes)) {
    if (errno == 0) errno = EIO;
    syserr_report(a.name);
    text.reset();
    return text;
  }
  text.get()[got] = '\0';
  return text;
}

// Shows text through the pager command pager, its standard input a pipe.
// Returns false when the pager could not be run (the text is then printed).
bool page(const char *pager, const char *text, size_t size) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  char sh[] = "sh", dash_c[] = "-c";
  char *argv[] = {sh, dash_c, const_cast<char *>(pager), nullptr};
  pid_t pid;
  if (spawn_program("/bin/sh", argv, ends[0], -1, nullptr, nullptr, &pid) != 0) {
    close(ends[0]);
    close(ends[1]);
    return false;
  }
  close(ends[0]);
  fdio_write(ends[1], text, size);  // a pager that quits early stops reading: that is fine
  close(ends[1]);
  fatal_wait_child(pid);
  return true;
}

}  // namespace

int license_load(const char *path, char **text, size_t *size) {
  struct stat st;
  int fd = fdio_open_file(path, &st);
  if (fd < 0) return -1;
  if (!S_ISREG(st.st_mode) || st.st_size > off_t(license_max)) {
    fprintf(stderr, "%s: a licence is a file of at most %zu bytes\n", Shown(path).text,
            license_max);
    close(fd);
    return -1;
  }
  Text data(static_cast<char *>(malloc(size_t(st.st_size) + 1)), free);
  size_t got = data ? fdio_read(fd, data.get(), size_t(st.st_size) + 1) : 0;
  int saved = errno;
  close(fd);
  if (!data || (got == 0 && saved != 0)) {
    errno = data ? saved : ENOMEM;
    syserr_report(path);
    return -1;
  }
  if (got > license_max || got != size_t(st.st_size)) {
    fprintf(stderr, "%s: changed size while it was read\n", Shown(path).text);
    return -1;
  }
  const unsigned char *p = reinterpret_cast<const unsigned char *>(data.get());
  for (size_t at = 0; at < got;) {
    size_t len = utf8_char(p + at, got - at);
    bool control = len == 1 && ((p[at] < 0x20 && p[at] != '\n' && p[at] != '\t') || p[at] == 0x7f);
    if (len == 0 || control) {
      fprintf(stderr, "%s: a licence is UTF-8 text without control characters (byte %zu)\n",
              Shown(path).text, at);
      return -1;
    }
    at += len;
  }
  data.get()[got] = '\0';
  *text = data.release();
  *size = got;
  return 0;
}

int license_print(const Archive &a, FILE *out) {
  Text text = read_license(a);
  if (!text) return -1;
  // A build stores text only; an archive made otherwise is shown escaped.
  text_print_escaped(out, text.get(), true);
  if (a.license_bytes && text.get()[a.license_bytes - 1] != '\n') putc('\n', out);
  return 0;
}

int license_gate(const Archive &a, const Options &options) {
  if (a.license_bytes == 0 || options.accept) return 0;
  Shown shown(a.name);
  const char *name = shown.text;
  if (!isatty(STDIN_FILENO)) {
    fprintf(stderr,
            "%s: this archive has a licence: read it with --license and pass --accept to accept "
            "it\n",
            name);
    return -1;
  }
  Text text = read_license(a);
  if (!text) return -1;
  FILE *out = options.extract_only ? stderr : stdout;  // -x: standard output is the data
  const char *pager = getenv("PAGER");
  fflush(stdout);
  // The pager gets it as it is only when it holds no control character.
  bool plain = !text_has_control(text.get(), true) && strlen(text.get()) == size_t(a.license_bytes);
  if (!(pager && *pager && plain && isatty(fileno(out)) &&
        page(pager, text.get(), size_t(a.license_bytes))))
    license_print(a, out);
  for (;;) {
    fputs("Do you accept the licence? [y/N] ", out);
    fflush(out);
    char line[64];
    if (!fgets(line, sizeof line, stdin)) {
      fputc('\n', out);  // the end of input ends the question's line
      break;
    }
    size_t len = strcspn(line, "\r\n");
    line[len] = '\0';
    for (size_t i = 0; i < len; i++) line[i] = char(tolower(static_cast<unsigned char>(line[i])));
    if (strcmp(line, "y") == 0 || strcmp(line, "yes") == 0) return 0;
    break;
  }
  fprintf(stderr, "%s: the licence was not accepted: nothing was installed\n", name);
  return -1;
}

}  // namespace kapsa
