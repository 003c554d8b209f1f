// Start-up: the choice of the one job a process does.
//
// A process is either the plain tool (build mode) or a self-extracting
// archive (extract mode): the running program's own file is searched for a
// preamble, and finding one means extract mode.  The command line is read
// into the run record (frame/args), and then exactly one of build_archive,
// list_archive, check_archive and extract_archive runs with it.
#include "frame/startup.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/check.h"
#include "archive/license.h"
#include "archive/signature.h"
#include "archive/listing.h"
#include "archive/preamble.h"
#include "base/fatal.h"
#include "base/locate.h"
#include "base/syserr.h"
#include "base/text.h"
#include "extract/driver.h"
#include "frame/args.h"
#include "frame/build.h"
#include "gz/stream.h"
#include "io/sink.h"
#include "io/sync.h"

namespace kapsa {

namespace {

constexpr char default_comment[] = "Self-Extracting archive file";

// Checks the archive a in a child process of its own, so that damage that
// ends a check (a fatal stream error) leaves the other archives of the run
// to be checked.  Sets options.exit_code to 1 when the check failed.
void check_apart(Archive &a, Options &options) {
  fflush(stdout);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // The check ends with this process, however it ends: no verdict is
    // printed after it.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(1);
    check_archive(a, options);
    fflush(stdout);
    _exit(options.exit_code);
  }
  if (pid < 0) {  // no child to be had: checked here, as a single archive is
    check_archive(a, options);
    return;
  }
  close(a.fd);
  if (fatal_wait_child(pid) != 0) options.exit_code = 1;
}

// Writes out what is left of standard output and closes it, so that a listing
// that could not be written fails.  Returns 0, or -1 after saying why.
int finish_standard_output() {
  errno = 0;
  bool failed = fflush(stdout) != 0 || ferror(stdout);
  int error = errno ? errno : EIO;
  if (fclose(stdout) != 0 && !failed) {
    failed = true;
    error = errno;
  }
  if (!failed) return 0;
  errno = error;
  syserr_report("stdout");
  return -1;
}

// Lists or checks the archives of the run: the running one (probe, or
// found again by self_name to say what is wrong), or each file argument of
// the plain tool, read by its name whatever its mode bits.  A check of
// several archives tests each one, whatever the ones before it gave.
// Returns the exit status.
int list_or_check(Arguments &args, Archive &probe, bool probed, const char *self_name) {
  Options &o = args.options;
  Listing listing;
  auto job = [&](Archive &a, bool apart) {
    if (o.minisig) {
      if (signature_print_minisig(a) != 0) o.exit_code = 1;
      close(a.fd);
    } else if (!o.check_mode)
      list_archive(a, o, listing);
    else if (apart)
      check_apart(a, o);
    else
      check_archive(a, o);
  };
  if (args.file_count == 0 || args.mode == Mode::extract) {
    if (probed || archive_open(self_name, false, false, o.program_name, &probe) == 0)
      job(probe, false);
    else
      o.exit_code = 1;
  } else {
    for (int i = 0; i < args.file_count; i++) {
      Archive a;
      if (archive_open(args.files[i], true, false, o.program_name, &a) != 0)
        o.exit_code = 1;
      else
        job(a, args.file_count > 1);
    }
  }
  return finish_standard_output() == 0 ? o.exit_code : 1;
}

// The job on one archive in extract mode: its licence printed (--license),
// or the extraction.  Returns the exit status.
int extract_job(Archive &a, Options &o) {
  if (!o.show_license) return extract_archive(a, o) == 0 ? 0 : 1;
  int status = 0;
  if (signature_check(a, o, false) != 0) {
    status = 1;
  } else if (a.license_bytes == 0) {
    fprintf(stderr, "%s: this archive has no licence\n", Shown(a.name).text);
    status = 1;
  } else if (license_print(a, stdout) != 0) {
    status = 1;
  }
  close(a.fd);
  return finish_standard_output() == 0 ? status : 1;
}

// Extracts the running archive, or with -u the one named first.  Returns
// the exit status.
int extract(Arguments &args, Archive &probe, bool probed, const char *self_name) {
  Options &o = args.options;
  if (!args.archive_named) {
    if (args.ended_by_dashes) {
      o.post_install_args = args.files;
      o.post_install_count = args.file_count;
    }
    if (!probed && archive_open(self_name, false, false, o.program_name, &probe) != 0) return 1;
    return extract_job(probe, o);
  }
  if (args.file_count == 0) {
    // The comment held now: a -C given, else the running archive's.
    const char *comment =
        args.comment_given || !probed ? args.texts.comment : probe.preamble.comment;
    print_usage(Mode::extract, o.program_name, comment[0] ? comment : default_comment);
    return 1;
  }
  if (args_after_name(o, args.file_count - 1, args.files + 1) != 0) return 1;
  if (probed) close(probe.fd);
  Archive a;
  if (archive_open(args.files[0], true, false, o.program_name, &a) != 0) return 1;
  return extract_job(a, o);
}

}  // namespace

int startup_main(int argc, char **argv) {
  Arguments args = {};
  Options &o = args.options;
  o.program_name = argc > 0 && argv[0] ? argv[0] : "kapsa";
  stream.program = o.program_name;  // the abort hook's name, until a stream begins
  sync_abort_hook = [](const char *call) { fprintf(stderr, "%s: %s failed\n", stream.program, call); };
  RunningProgram running;
  locate_running_program(o.program_name, &running);
  o.program_path = running.path;
  const char *self_name = running.lookup_name;

  // The probe: a preamble in the program's own file makes an archive.  Its
  // texts stay where they were read; the options write elsewhere.
  Archive probe;
  bool probed = archive_open(self_name, false, true, o.program_name, &probe) == 0;
  if (!probed && probe.preamble.read_failed) return 1;  // neither mode can run
  // A damaged preamble is an archive still, which the job then refuses.
  Mode mode = probed || probe.preamble.damaged ? Mode::extract : Mode::build;
  int status = args_parse(argc, argv, mode, probed ? &probe.preamble : nullptr, running.path, &args);
  if (status >= 0) {
    if (probed) close(probe.fd);
    return status == 0 && finish_standard_output() != 0 ? 1 : status;
  }
  if (!args.texts.comment[0]) text_copy(args.texts.comment, text_size, default_comment);
  if (!o.extractor_path[0] && running.path)
    text_copy(o.extractor_path, text_size, running.path);

  if (o.list_mode || o.check_mode || o.minisig) return list_or_check(args, probe, probed, self_name);
  if (args.mode == Mode::extract) return extract(args, probe, probed, self_name);
  if (args.file_count == 0) {
    print_usage(Mode::build, o.program_name, "");
    fprintf(stderr, "%s: what files do you want to compress?\n", o.program_name);
    return 1;
  }
  if (args_check_build(args) != 0) return 1;
  Sink out = sink_to(STDOUT_FILENO, "stdout", o.program_name);
  return build_archive(o, args.texts, args.file_count, args.files, out);
}

}  // namespace kapsa
