// The build loop: extractor image and preamble, then each input file as
// payload, one gzip member or zstd frame per file or the raw bytes of all of
// them, all through the build's sink.
#include "frame/build.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/fatal.h"
#include "base/features.h"
#include "base/locate.h"
#include "base/progress.h"
#include "base/syserr.h"
#include "base/text.h"
#include "lib/basename.h"
#include "archive/license.h"
#include "payload/payload.h"
#include "sign/block.h"
#include "sign/hash.h"
#include "sign/keys.h"
#include "tree/pack.h"
#include "zstd/zstd.h"


namespace kapsa {

namespace {

// Whether the file st describes is the archive being written (output,
// standard output's status), which a build must never read.
bool is_output(const struct stat &st, const struct stat &output) {
  return S_ISREG(output.st_mode) && st.st_dev == output.st_dev && st.st_ino == output.st_ino;
}

// Opens one input file of a build.  Returns the descriptor, or -1 after
// reporting the file, which the build then skips: a name too long, a file
// that cannot be opened, a directory, and the archive being written itself
// (which the build would otherwise read while it grows).
int open_input(const char *name, const struct stat &output) {
  progress_erase();  // a message may follow
  if (strlen(name) >= text_size) {
    errno = ENAMETOOLONG;
    syserr_report(name);
    return -1;
  }
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    syserr_report(name);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    syserr_report(name);
    close(fd);
    return -1;
  }
  if (is_output(st, output)) {
    fprintf(stderr, "%s: input file is the archive being written\n", Shown(name).text);
    close(fd);
    return -1;
  }
  return fd;
}

// Warns that an extraction unpacks only the first member of a compressed
// payload: the files written as later members (those of files that are not
// null) would be lost to the user.
void warn_unextracted(PayloadKind kind, int file_count, char **files, const char *program) {
  int members = 0;
  for (int i = 0; i < file_count; i++) members += files[i] != nullptr;
  if (members < 2 || !payload_unpacks_first_only(kind)) return;
  fprintf(stderr, "%s: warning: an extraction unpacks only the first file; not unpacked:",
          program);
  bool first = true;
  for (int i = 0; i < file_count; i++) {
    if (!files[i]) continue;
    if (!first) fprintf(stderr, " %s", files[i]);
    first = false;
  }
  fprintf(stderr, " (pack the files into one file, a tar, first)\n");
}

// Bytes of the regular input files a build will read (the output excluded),
// for its progress line.
long long input_size(int file_count, char **files, const struct stat &output) {
  long long total = 0;
  for (int i = 0; i < file_count; i++) {
    struct stat st;
    if (stat(files[i], &st) == 0 && S_ISREG(st.st_mode) && !is_output(st, output))
      total += st.st_size;
  }
  return total;
}

// The trailer keeps the size modulo 2^32, and the last trailer of a payload
// is its last member's: for a first input of 4 GiB or more, and whenever the
// payload will hold more than one member, the feature list carries the first
// input's true size ("SIZE=<bytes>"), which the listing and the space check
// use instead.  *recorded receives the size written, or -1.  Returns 0, or -1
// after a message.
int add_true_size(PayloadKind kind, Preamble &texts, int file_count, const char *first,
                  long long *recorded, const char *program) {
  *recorded = -1;
  struct stat st;
  if (!payload_records_size(kind) || stat(first, &st) != 0 || !S_ISREG(st.st_mode) ||
      (st.st_size < (off_t(1) << 32) && file_count < 2))
    return 0;
  char size[32];
  text_format(size, sizeof size, "%lld", static_cast<long long>(st.st_size));
  if (feature_add(texts.features, sizeof texts.features, "SIZE=", size, program) != 0) return -1;
  *recorded = st.st_size;
  return 0;
}

// After the first member: a recorded size that the file no longer had fails
// the build (the archive would be refused as damaged); a first input read
// through a pipe, whose size no item could record, is warned of when the
// space check will ask for less than it gave.  Returns 0, or -1 after a
// message.
int check_first_size(const char *name, long long recorded, uint64_t read, int file_count,
                     const char *program) {
  if (recorded >= 0) {
    if (uint64_t(recorded) == read) return 0;
    fprintf(stderr, "%s: changed size while it was read (%lld bytes, then %llu)\n",
            Shown(name).text, recorded, (unsigned long long)read);
    return -1;
  }
  struct stat st;
  if (stat(name, &st) == 0 && S_ISREG(st.st_mode)) return 0;
  if (read >= (uint64_t(1) << 32))
    fprintf(stderr,
            "%s: warning: %s gave %llu bytes through a pipe; the archive's space check will ask "
            "for only %llu modulo 4 GiB; build from a file to record the true size\n",
            program, Shown(name).text, (unsigned long long)read, (unsigned long long)read);
  else if (file_count > 1)
    fprintf(stderr,
            "%s: warning: %s gave %llu bytes through a pipe; the archive's space check will ask "
            "for the last file's size instead; build from a file to record the true size\n",
            program, Shown(name).text, (unsigned long long)read);
  return 0;
}

// The last component of the first input's name becomes the NAME item (into
// item, text_size bytes): a "," in it would start items of its own (PATH=.
// exported to the post-install command, VFYFS=/ steering the placement),
// and a quote, a backslash or a control character would change how the
// list is split for the environment.  Returns 0, or -1 after saying why the
// name is refused.
int take_name_item(const char *file, char *item) {
  if (text_copy(item, text_size, file) != 0) {
    errno = ENAMETOOLONG;
    syserr_report(file);
    return -1;
  }
  basename(item);
  const char *bad = item;
  for (; *bad; bad++) {
    char one[2] = {*bad, '\0'};
    if (strchr(",\"\\", *bad) || text_has_control(one)) break;
  }
  if (!*bad) return 0;
  char shown[2] = {*bad, '\0'};
  text_print_escaped(stderr, file);
  fputs(": this name cannot be the payload's NAME item (it holds '", stderr);
  text_print_escaped(stderr, shown);
  fputs("'); rename the file or pack it into a tar\n", stderr);
  return -1;
}

// The time a reproducible build clamps modification times to
// (SOURCE_DATE_EPOCH), or -1.
long long source_date_epoch();

// What a build adds around the payload when asked: a licence stored
// behind the preamble (--license) and a signature of every byte (--sign).
struct Extras {
  char *license = nullptr;  // the licence's text (malloc), license_size bytes
  size_t license_size = 0;
  bool signing = false;     // the secret key is loaded
  SignSecretKey key = {};
  SignHash hash;            // of every byte written so far
  ~Extras() {
    free(license);
    sign_forget_secret_key(&key);
  }
};

// Loads the licence and the secret key (asking the key's password on the
// terminal), adds LICENSE=<bytes> and SIGNED to the feature list, and makes
// the sink hash what it writes.  Returns 0, or -1 after saying why: before
// anything is written.
int prepare_extras(const Options &options, Preamble &texts, Extras &extras, Sink &out) {
  const char *me = options.program_name;
  if (options.license_file) {
    if (license_load(options.license_file, &extras.license, &extras.license_size) != 0) return -1;
    char size[32];
    text_format(size, sizeof size, "%zu", extras.license_size);
    if (feature_add(texts.features, sizeof texts.features, "LICENSE=", size, me) != 0) return -1;
  }
  if (options.sign_key) {
    if (sign_read_secret_key(options.sign_key, &extras.key) != 0) return -1;
    extras.signing = true;
    if (feature_add(texts.features, sizeof texts.features, "SIGNED", "", me) != 0) return -1;
    sign_hash_begin(extras.hash);
    out.observe = [](void *hash, const unsigned char *data, size_t count) {
      sign_hash_update(*static_cast<SignHash *>(hash), data, count);
    };
    out.observer = &extras.hash;
  }
  return 0;
}

// Writes the extractor image and the preamble, then the licence.  Returns
// 0, or -1 after saying why.
int write_head(const Options &options, const Preamble &texts, const Extras &extras, Sink &out) {
  if (write_preamble(options.extractor_path, texts, out, options.program_name) != 0) return -1;
  if (extras.license_size && sink_write(out, extras.license, extras.license_size) != 0) {
    syserr_report(out.name);
    return -1;
  }
  return 0;
}

// Ends the archive: the signature block behind everything written (its
// trusted comment names the payload and the time, SOURCE_DATE_EPOCH when it
// is set), then the output closed.  Returns the exit status.
int finish_build(const Options &options, const Preamble &texts, Extras &extras, Sink &out) {
  const char *me = options.program_name;
  if (extras.signing) {
    unsigned char digest[sign_hash_size];
    sign_hash_end(extras.hash, digest);
    out.observe = nullptr;  // the block signs; it is not signed
    long long when = source_date_epoch();
    if (when < 0) when = (long long)time(nullptr);
    const char *name = feature_value(texts.features, "NAME");
    char comment[sign_comment_max + 1];
    text_format(comment, sizeof comment, "timestamp:%lld\tfile:%s\thashed", when, name ? name : "");
    unsigned char block[sign_block_max];
    size_t size = sign_make_block(extras.key, digest, out.bytes, comment, block, sizeof block);
    if (size == 0) {
      fprintf(stderr, "%s: the archive cannot be signed\n", me);
      return 1;
    }
    sink_write_or_stop(out, block, size);
  }
  if (close(out.fd) != 0 && errno != EINTR) fatal_write_error(me, out.name);
  return options.exit_code;
}

// The tar stream's writer, on a thread of its own: the plan's stream into
// fd, which it closes.
struct Streamer {
  const TreePlan *plan;
  int fd;
  int status;  // tree_stream's result
};

void *stream_tree(void *arg) {
  Streamer &s = *static_cast<Streamer *>(arg);
  s.status = tree_stream(*s.plan, s.fd, "the tar stream");
  close(s.fd);
  return nullptr;
}

long long source_date_epoch() {
  const char *text = getenv("SOURCE_DATE_EPOCH");
  if (!text || !*text || strspn(text, "0123456789") != strlen(text) || strlen(text) > 18)
    return -1;
  return atoll(text);
}

// A payload of several members or frames says how many (MEMBERS=), so that
// an archive cut where one of them begins is not taken for a whole one.
// Returns 0, or 1 after a message.
int add_members(PayloadKind kind, long long members, char *features, size_t features_size,
                const char *me) {
  if (members < 2 || !payload_records_members(kind)) return 0;
  char count[32];
  text_format(count, sizeof count, "%lld", members);
  return feature_add(features, features_size, "MEMBERS=", count, me) != 0;
}

// Builds the archive of the directory dir: its tree as one pax tar stream
// (tree/pack.h), planned, checked and measured before anything is written,
// the feature items TREE, NAME=<its name> and SIZE=<the stream's length>,
// then the stream encoded as the payload's one member or frame.  Returns
// the exit status.
int build_tree(Options &options, Preamble &texts, const char *dir, PayloadKind kind,
               const EncodeSettings &settings, Sink &out) {
  const char *me = options.program_name;
  char *features = texts.features;
  const size_t features_size = sizeof texts.features;
  char name[text_size];
  if (text_copy(name, sizeof name, dir) != 0) {
    errno = ENAMETOOLONG;
    syserr_report(dir);
    return 1;
  }
  for (size_t n = strlen(name); n > 1 && name[n - 1] == '/';) name[--n] = '\0';
  char item[text_size];
  if (take_name_item(name, item) != 0) return 1;
  if (!item[0] || strcmp(item, ".") == 0 || strcmp(item, "..") == 0 || strcmp(item, "/") == 0) {
    fprintf(stderr, "%s: the tree needs a name: give the directory by its name\n",
            Shown(dir).text);
    return 1;
  }
  TreePlan plan = {};
  if (tree_plan(dir, source_date_epoch(), &plan) != 0) return 1;
  std::unique_ptr<TreePlan, decltype(&tree_plan_free)> planned(&plan, tree_plan_free);
  char size[32];
  text_format(size, sizeof size, "%llu", (unsigned long long)plan.stream_bytes);
  Extras extras;
  if (feature_add(features, features_size, "TREE", "", me) != 0 ||
      feature_add(features, features_size, "NAME=", item, me) != 0 ||
      feature_add(features, features_size, "SIZE=", size, me) != 0 ||
      add_members(kind, payload_members(kind, -1, (long long)plan.stream_bytes, settings),
                  features, features_size, me) != 0 ||
      prepare_extras(options, texts, extras, out) != 0 ||
      write_head(options, texts, extras, out) != 0)
    return 1;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    syserr_report(me);
    return 1;
  }
  Streamer streamer = {&plan, ends[1], -1};
  pthread_t thread;
  sigset_t old;
  fatal_block_signals(&old, false);  // signals are the main thread's
  int started = pthread_create(&thread, nullptr, stream_tree, &streamer);
  fatal_restore_signals(&old);
  if (started != 0) {
    errno = started;
    syserr_report(me);
    close(ends[0]);
    close(ends[1]);
    return 1;
  }
  progress_begin(plan.stream_bytes, 0, options.quiet);
  uint64_t read;
  int encoded = payload_encode(kind, ends[0], item, (long long)plan.stream_bytes, out, settings,
                               me, &read);
  close(ends[0]);  // a writer still going meets a broken pipe and stops
  pthread_join(thread, nullptr);
  progress_end();
  if (encoded != 0 || streamer.status != 0) return 1;
  return finish_build(options, texts, extras, out);
}

}  // namespace

int build_archive(Options &options, Preamble &texts, int file_count, char **files, Sink &out) {
  const char *me = options.program_name;
  char *features = texts.features;
  const size_t features_size = sizeof texts.features;
  if (!options.extractor_path[0]) {
    fprintf(stderr, "%s: unable to find kapsa to build preamble\n", me);
    return 1;
  }
  if (isatty(out.fd)) {
    fprintf(stderr, "%s: an archive is not written to a terminal: redirect the output to a file\n",
            me);
    return 1;
  }
  struct stat output = {};
  if (fstat(out.fd, &output) != 0) output.st_mode = 0;
  if (options.verify_first && feature_add(features, features_size, "VERIFY", "", me) != 0)
    return 1;
  EncodeSettings settings = {deflate_defaults, options.zstd_level, zstd_window_log_max, nullptr};
  if (options.level) {
    settings.deflate.level = options.level;
    settings.deflate.automatic = false;
  }
  settings.deflate.threads = options.threads;
  // zstd frames: the compressor is a program of its own, installed beside
  // this one; the window is the largest whose extraction needs no more than
  // --zstd-memory.
  char compressor_path[text_size];
  if (options.zstd_level) {
    char tried[2 * text_size];
    const char *found = locate_installed("kapsa-zstd", options.program_path, tried, sizeof tried);
    if (!found) {
      fprintf(stderr, "%s: no zstd compressor installed (looked for %s)\n", me, tried);
      return 1;
    }
    text_copy(compressor_path, sizeof compressor_path, found);
    settings.compressor = compressor_path;
    if (options.zstd_memory)
      settings.zstd_window_log = zstd_window_log_for(uint64_t(options.zstd_memory));
    if (feature_add(features, features_size, "ZSTD", "", me) != 0) return 1;
  }
  // One directory, alone, is packed as a tree.
  struct stat first;
  if (stat(files[0], &first) == 0 && S_ISDIR(first.st_mode)) {
    if (file_count > 1) {
      fprintf(stderr, "%s: a directory is packed alone: %s [options] %s > app.run\n",
              Shown(files[0]).text, me, Shown(files[0]).text);
      return 1;
    }
    return build_tree(options, texts, files[0], payload_classify(features), settings, out);
  }
  char name_item[text_size];
  if (take_name_item(files[0], name_item) != 0) return 1;
  if (feature_add(features, features_size, "NAME=", name_item, me) != 0) return 1;
  const PayloadKind kind = payload_classify(features);
  long long recorded;
  if (add_true_size(kind, texts, file_count, files[0], &recorded, me) != 0) return 1;

  // Every input is opened before anything is written; one that cannot be
  // is reported and left out.  They are all open at once: the descriptor
  // limit is raised as far as it goes.
  struct rlimit files_limit;
  if (getrlimit(RLIMIT_NOFILE, &files_limit) == 0 && files_limit.rlim_cur < files_limit.rlim_max) {
    files_limit.rlim_cur = files_limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files_limit);
  }
  std::unique_ptr<int[], decltype(&free)> inputs(
      static_cast<int *>(malloc(size_t(file_count) * sizeof(int))), free);
  if (!inputs) {
    errno = ENOMEM;
    syserr_report(me);
    return 1;
  }
  long long members = 0;
  for (int i = 0; i < file_count; i++) {
    inputs[size_t(i)] = open_input(files[i], output);
    if (inputs[size_t(i)] < 0) {
      options.exit_code = 1;
      files[i] = nullptr;  // not in the archive
    } else {
      members += payload_members(kind, inputs[size_t(i)], -1, settings);
    }
  }
  auto close_inputs = [&]() {
    for (int i = 0; i < file_count; i++)
      if (inputs[size_t(i)] >= 0) close(inputs[size_t(i)]);
  };
  // A build that cannot take every input writes nothing.
  if (options.exit_code != 0) {
    close_inputs();
    return 1;
  }
  if (add_members(kind, members, features, features_size, me) != 0) {
    close_inputs();
    return 1;
  }
  Extras extras;
  if (prepare_extras(options, texts, extras, out) != 0 || write_head(options, texts, extras, out) != 0) {
    close_inputs();
    return 1;
  }

  progress_begin(input_size(file_count, files, output), 0, options.quiet);
  for (int i = 0; i < file_count; i++) {
    int fd = inputs[size_t(i)];
    if (fd < 0) continue;
    payload_note_input(kind, fd, files[i], -1, me);
    uint64_t read;
    if (payload_encode(kind, fd, files[i], -1, out, settings, me, &read) != 0) {
      close_inputs();
      return 1;
    }
    if (i == 0 && payload_records_size(kind) &&
        check_first_size(files[0], recorded, read, file_count, me) != 0)
      options.exit_code = 1;
    close(fd);
    inputs[size_t(i)] = -1;
  }
  progress_end();
  int status = finish_build(options, texts, extras, out);
  warn_unextracted(kind, file_count, files, me);
  return status;
}

}  // namespace kapsa
