// Writing the extractor image and preamble, and finding them again.
#include "archive/preamble.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/features.h"
#include "base/locate.h"
#include "base/syserr.h"
#include "base/text.h"
#include "io/fdio.h"

namespace kapsa {

namespace {

// A heap block released on every return.
using HeapBlock = std::unique_ptr<unsigned char, decltype(&free)>;

// Search buffer of find_preamble, and the most asked of one read.
constexpr size_t search_buffer_size = 8192;

// The magic, each byte masked, so that the 11 bytes never stand together in
// the program's file.  The mask is read through a volatile so that the
// compiler cannot fold the unmasking back into a constant.
constexpr unsigned char magic_mask = 0x5a;
constexpr unsigned char masked_magic[magic_size] = {
    'k' ^ magic_mask, 'a' ^ magic_mask, 'p' ^ magic_mask, 's' ^ magic_mask,
    'a' ^ magic_mask, '+' ^ magic_mask, 'm' ^ magic_mask, 'a' ^ magic_mask,
    'g' ^ magic_mask, 'i' ^ magic_mask, 'k' ^ magic_mask};
volatile unsigned char magic_key = magic_mask;

// Reads one preamble text, a byte a time, into field (text_size bytes) up to
// and including its NUL.  Returns 0; 0 also when the file ends first (the
// text is what was read); -1 when the text does not fit the field (the field
// then holds its first 1,023 characters); -2 when a read failed (errno set).
int read_preamble_text(int fd, char *field) {
  size_t len = 0;
  for (;;) {
    char c;
    if (fdio_read(fd, &c, 1) != 1) {
      if (errno != 0) return -2;
      break;
    }
    if (c == '\0') break;
    if (len == text_size - 1) {
      field[len] = '\0';
      return -1;
    }
    field[len++] = c;
  }
  field[len] = '\0';
  return 0;
}

}  // namespace

const unsigned char *build_magic() {
  static unsigned char magic[magic_size];
  for (size_t i = 0; i < magic_size; i++) magic[i] = masked_magic[i] ^ magic_key;
  return magic;
}

int write_preamble(const char *extractor, const Preamble &p, Sink &out, const char *program) {
  const char *path = locate_executable(extractor);
  if (!path) {
    fprintf(stderr, "%s: unable to find kapsa to build preamble\n", program);
    return -1;
  }
  struct stat st;
  int fd = fdio_open_file(path, &st);
  if (fd < 0) return -1;
  size_t size = size_t(st.st_size);
  HeapBlock image(static_cast<unsigned char *>(malloc(size ? size : 1)), free);
  if (!image) {
    errno = ENOMEM;
    syserr_report(path);
    close(fd);
    return -1;
  }
  if (fdio_read(fd, image.get(), size) != size) {
    if (errno == 0) errno = EIO;  // the file shrank while it was read
    syserr_report(path);
    close(fd);
    return -1;
  }
  close(fd);

  const unsigned char *magic = build_magic();
  const char *texts[] = {p.features, p.comment, p.run_command, p.extract_command};
  bool ok = sink_write(out, image.get(), size) == 0 && sink_write(out, magic, magic_size) == 0;
  for (const char *text : texts) ok = ok && sink_write(out, text, strlen(text) + 1) == 0;
  if (!ok) {
    syserr_report(out.name);
    return -1;
  }
  return 0;
}

int find_preamble(const char *name, bool as_named, Preamble *p, off_t *payload_offset,
                  const char *program) {
  p->damaged = 0;
  p->read_failed = 0;
  const char *path = as_named && access(name, F_OK) == 0 ? name : locate_executable(name);
  if (!path) {
    fprintf(stderr, "%s: unable to find kapsa to build preamble\n", program);
    return -1;
  }
  // Non-blocking, so that opening a FIFO cannot hang; only regular files are
  // searched (a device could feed the search without end).
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    syserr_report(path);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }

  // Streaming search: `matched` bytes of the magic end at the current byte.
  // After a mismatch the failure function falls back to the longest proper
  // prefix of the magic that still ends here, so an occurrence that begins
  // inside a broken partial match is found.
  const unsigned char *magic = build_magic();
  size_t fallback[magic_size] = {0};
  for (size_t i = 1, k = 0; i < magic_size; i++) {
    while (k > 0 && magic[i] != magic[k]) k = fallback[k - 1];
    if (magic[i] == magic[k]) k++;
    fallback[i] = k;
  }
  HeapBlock buffer(static_cast<unsigned char *>(malloc(search_buffer_size)), free);
  if (!buffer) {
    close(fd);
    return -1;
  }
  off_t consumed = 0;  // bytes of the file before the current read
  off_t magic_end = -1;
  size_t matched = 0;
  while (magic_end < 0) {
    ssize_t n = read(fd, buffer.get(), search_buffer_size - 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A file that cannot be read is not a file without a preamble.
      syserr_report(path);
      p->read_failed = 1;
      close(fd);
      return -1;
    }
    if (n == 0) break;
    for (ssize_t i = 0; i < n; i++) {
      unsigned char c = buffer.get()[i];
      while (matched > 0 && c != magic[matched]) matched = fallback[matched - 1];
      if (c == magic[matched]) matched++;
      if (matched == magic_size) {
        magic_end = consumed + i + 1;
        break;
      }
    }
    consumed += n;
  }
  buffer.reset();
  if (magic_end < 0 || lseek(fd, magic_end, SEEK_SET) != magic_end) {
    close(fd);
    return -1;
  }

  char *fields[] = {p->features, p->comment, p->run_command, p->extract_command};
  for (char *field : fields) *field = '\0';
  for (char *field : fields) {
    int read = read_preamble_text(fd, field);
    if (read == -2) {
      syserr_report(path);
      p->read_failed = 1;
    } else if (read != 0) {
      p->damaged = 1;
    }
    if (read != 0) {
      close(fd);
      return -1;
    }
  }
  *payload_offset = lseek(fd, 0, SEEK_CUR);
  if (*payload_offset < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int archive_open(const char *name, bool as_named, bool quiet, const char *program, Archive *a) {
  off_t offset = 0;
  // A name too long for the messages' buffer is no archive this can read.
  int fd = strlen(name) < text_size ? find_preamble(name, as_named, &a->preamble, &offset, program)
                                    : -1;
  if (fd < 0 && a->preamble.read_failed) return -1;  // the failed read named itself
  if (fd < 0 && quiet) return -1;
  if (fd < 0) {
    if (a->preamble.damaged)
      fprintf(stderr, "%s: damaged archive: a preamble text is longer than %zu characters\n",
              Shown(name).text, text_size - 1);
    if (!quiet) fprintf(stderr, "%s: unable to find preamble magic value\n", Shown(name).text);
    return -1;
  }
  struct stat st;
  a->fd = fd;
  a->name = name;
  off_t end = fstat(fd, &st) == 0 && st.st_size > offset ? st.st_size : offset;
  const char *features = a->preamble.features;
  // The licence, when there is one, stands between the texts and the payload.
  long long license = feature_number(features, "LICENSE=");
  a->license_offset = offset;
  a->license_bytes = license > 0 ? license : 0;
  const char *refused = nullptr;
  if (license == -2 || (license > 0 && license > end - offset))
    refused = "damaged archive: LICENSE= does not match the file";
  offset += off_t(a->license_bytes);
  // A signed archive's payload ends where its signature block begins.
  a->is_signed = feature_item(features, "SIGNED") != nullptr;
  if (!refused && a->is_signed) {
    int found = sign_find_block(fd, &a->signature);
    if (found == 0)
      refused = "signature block missing: the archive was cut or changed after it was signed";
    else if (found < 0 && a->signature.read_error)
      refused = "";  // the read error is said below
    else if (found < 0)
      refused = strncmp(a->signature.damage, "signature", 9) == 0 ? a->signature.damage : "";
    else if (off_t(a->signature.offset) < offset)
      refused = "signature block damaged: it begins inside the preamble";
    else
      end = off_t(a->signature.offset);
  }
  if (refused || lseek(fd, offset, SEEK_SET) != offset) {
    if (quiet) {
      a->preamble.damaged = 1;  // an archive still, which the job refuses aloud
    } else if (refused && !*refused && a->signature.read_error) {
      errno = a->signature.read_error;
      syserr_report(name);
    } else if (refused && !*refused) {
      fprintf(stderr, "%s: signature block damaged: %s\n", Shown(name).text,
              a->signature.damage);
    } else {
      fprintf(stderr, "%s: %s\n", Shown(name).text, refused ? refused : "cannot read the payload");
    }
    close(fd);
    return -1;
  }
  a->payload_offset = offset;
  a->payload_end = end;
  payload_begin(a->payload, fd, a->payload_offset, a->payload_end, a->preamble.features, name,
                program);
  return 0;
}

}  // namespace kapsa
