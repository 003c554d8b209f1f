// One extraction run, from the preamble to the post-install command.
//
//   1. find the preamble again in the archive
//   2. raw payload (NOCOMPR, named by NAME=) or a gzip member (stored name)
//   3. with VFYFS= (and without -x): make room for the data
//   4. start the extract command (default: cat > %p/%o), or use stdout (-x)
//   5. decompress or copy the payload into it
//   6. wait for the extract command and check that it succeeded
//   7. unless -n or -x: export the feature list and run the post-install
//      command, asking first with -v
//   8. remove the temporary link of step 3
#pragma once

namespace kapsa {

// Extracts the archive at path.  Returns 0 on success; -1 for a failure it
// reported; 1 when a raw payload held no data; otherwise the status that
// system() gave for the post-install command.
int extract_archive(const char *path);

// Returns a new text (2,048 bytes, the caller frees it): command with "%o"
// replaced by the payload name and "%p" by the current directory; "%" and any
// other character stay as they are.  With quote set, the two are inserted as
// single-quoted shell words.  Returns null after a message naming the archive
// when the result would pass 2,047 characters or the current directory cannot
// be found: a command is never run cut.
char *expand_command(const char *command, bool quote = false);

// Puts every feature item into the environment: KEY=VALUE as it stands, a
// bare KEY as "KEY=".  Items without a name are left out.
void export_features();

}  // namespace kapsa
