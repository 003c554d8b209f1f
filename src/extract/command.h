// The shell boundary of an extraction: everything that starts a child process
// or talks to one.
//
//   - expand_command: "%p" and "%o" in the archive's command templates;
//   - the extract command: started with its standard input on a pipe that
//     the payload is written into, then waited for and its status checked;
//   - the post-install command: the feature list exported into the
//     environment, the question asked with -v, the command run and its
//     status decoded.
#pragma once

#include <cstdio>

#include "archive/preamble.h"
#include "base/options.h"

namespace kapsa {

// Returns a new text (2,048 bytes, the caller frees it): command with "%o"
// replaced by payload_name and "%p" by the current directory; "%" and any
// other character stay as they are.  With quote set, the two are inserted as
// single-quoted shell words.  Returns null after a message naming archive
// when the result would pass 2,047 characters or the current directory cannot
// be found: a command is never run cut.
char *expand_command(const char *command, const char *payload_name, const char *archive,
                     bool quote = false);

// Puts every item of the feature list features into the environment:
// KEY=VALUE as it stands, a bare KEY as "KEY=".  Items without a name are
// left out.
void export_features(const char *features);

// Expands the extract command of the preamble p (the default "cat > %p/%o"
// when it is empty; %o is payload_name) and starts it as popen would:
// "/bin/sh -c command" with the environment of the process and its standard
// input on a pipe, nothing else inherited.  The pipe's write end goes to
// *pipe_fd, and the command is registered with the cleanup (base/fatal), so
// that every way out waits for it; a write into a broken pipe reports the
// command's own failure ("<archive>: extraction command failed: <command>")
// when it failed.  Returns the command line (the caller frees it once the
// command is finished), or null after a message.
char *start_extract_command(const char *archive, const Preamble &p, const char *payload_name,
                            int *pipe_fd);

// Closes the pipe and waits for the extract command.  Returns 0 when it
// exited with status 0 (or none was started), else -1 after "<archive>:
// extraction command failed: <command>".
int finish_extract_command(const char *archive);

// With post-install arguments (after "--" in options): checks that the
// post-install command of the preamble p, expanded, ends in a simple
// command that can take them (extract/shell.h).  Returns 0 (also without arguments or command),
// or -1 after "<archive>: the arguments after -- cannot be given to the
// post-install command: ...", so that they are never dropped nor run as a
// command of their own.
int check_post_install_args(const char *archive, const Preamble &p, const char *payload_name,
                            const Options &options);

// Runs the post-install command of the preamble p (after the whole payload
// has been extracted): exports the feature list, asks first with -v, and
// reports a failure when the question was not asked; the arguments after
// "--" join it (options).  KAPSA_DIR in its environment
// is data_dir, the absolute path of the directory the data went to (the
// current directory when data_dir is empty).  Returns the command's system()
// status, 0 when it was not run, or -1 when it could not be expanded.
int run_post_install(const char *archive, const char *data_dir, const Preamble &p,
                     const char *payload_name, const Options &options);

}  // namespace kapsa
