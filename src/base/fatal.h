// The fatal stop, and the cleanup that every way out of an extraction runs.
//
// An extraction may leave two things that must not outlive it: the extract
// command, a child process reading the payload from a pipe, and a temporary
// symbolic link made by the placement.  Both are registered here.  Every way
// out (fatal_exit, the end of the run, and death by any catchable signal
// whose default action ends the process) first closes the pipe and waits for
// the command to end, then removes the link when it is still the link this
// run made, and only then lets the process end.
//
// SIGPIPE that the process brings on itself by writing to a pipe whose
// reader has gone (a closed standard error, an extract command that ended)
// does not end it: the write fails with EPIPE and is handled where it is
// made, so a lost standard error never leaves the link behind.
//
// The fuzzing build must not end the process: there fatal_exit throws
// FatalStop, which the fuzz target catches.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstddef>

namespace kapsa {

// Size of a temporary link's path buffer: at most 511 characters and a NUL.
constexpr size_t link_buffer_size = 512;

struct FatalStop {};

// Cleans up (fatal_cleanup) and ends the process with status 1.
[[noreturn]] void fatal_exit();

// The fatal reporters of every byte path (the stream, the output path, the
// build's sink).  program starts the message, name is the file concerned;
// each erases the progress line first and ends in fatal_exit:
//   fatal_error        "\n<program>: <name>: <message>\n"
//   fatal_read_error   "\n<program>: <name>: <errno's text>\n", or with
//                      errno 0 "\n<program>: <name>: unexpected end of file\n"
//   fatal_write_error  "\n<program>: <name>: <errno's text>\n"; a write
//                      into a pipe whose reader has gone (EPIPE) asks
//                      fatal_broken_pipe_hook first, which may say instead
//                      why that reader ended
// The report_ forms say the same and return (errno kept).
[[noreturn]] void fatal_error(const char *program, const char *name, const char *message);
[[noreturn]] void fatal_read_error(const char *program, const char *name);
[[noreturn]] void fatal_write_error(const char *program, const char *name);
void fatal_report_error(const char *program, const char *name, const char *message);
void fatal_report_read(const char *program, const char *name);

// Asked by fatal_write_error for a write that failed with EPIPE: the
// extraction sets it to report the extract command's own failure, which
// explains the broken pipe; it returns true when it did.
extern bool (*fatal_broken_pipe_hook)();

// Installs the cleanup on the catchable signals whose default action ends
// the process, leaving alone those the caller ignores (nohup, a background
// job) and those another part of the process handles.  Idempotent.
void fatal_catch_signals();

// Blocks the signals that run the cleanup; *old receives the mask to give
// back to sigprocmask.  Registrations are made with them blocked, so that a
// signal never finds a link made but not yet recorded.  Without faults_too
// the signals a fault raises (SIGSEGV, SIGBUS, SIGFPE, SIGILL) stay open: a
// thread started so handles a fault of its own, with the cleanup.
void fatal_block_signals(sigset_t *old, bool faults_too = true);
void fatal_restore_signals(const sigset_t *old);

// Registers the temporary link at path, just made and pointing to target
// (null or "" to forget it).  Both are copied.
void fatal_set_link(const char *path, const char *target);

// Removes the registered link when it is still the symbolic link this run
// made (the same file, pointing to exactly its registered target): anything
// else there is left alone.  Forgets it either way.
void fatal_remove_link();

// Registers the staging directory at path (absolute) that the run is
// filling: every way out but success removes it, all of it.  Null forgets
// the one registered; with remove, it is removed first.
void fatal_set_staging(const char *path, bool remove = false);

// Registers a tree at target that a new one replaced, now at replaced (the
// two exchanged): every way out but the run's own end puts it back (the
// two exchanged again) and removes the new one.  Null targets forget it;
// with now, it is put back first.
void fatal_set_rollback(const char *target, const char *replaced, bool now = false);

// Registers the running extract command: its process id, the descriptor of
// the pipe to its standard input, its command line and the archive it
// extracts (both kept by the caller).
void fatal_set_child(pid_t pid, int pipe_fd, const char *command, const char *archive);

// Closes the registered command's pipe, waits for it to end and forgets it.
// Returns its command line with its wait status in *status (and, when
// archive is given, its archive there); null when no command is registered.
const char *fatal_end_child(int *status, const char **archive = nullptr);

// Waits for the child pid to end, going on when a signal cuts the wait short.
// Returns its wait status, or -1 with errno set when it cannot be waited for.
// Async-signal-safe.
int fatal_wait_child(pid_t pid);

// Registers the function the cleanup calls first, before it closes the
// extract command's pipe and clears the progress line: it keeps another
// thread (the output path's writer) out of both.  It must be
// async-signal-safe.  Null forgets it.
void fatal_set_quiesce(void (*quiesce)());

}  // namespace kapsa
