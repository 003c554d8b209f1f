// Finding executables: a command name to the path of an executable file.
#pragma once

#include <cstddef>

namespace kapsa {

// Returns the path of the executable file that name stands for, in a static
// buffer that the next call overwrites, or null when there is none:
//   - name itself, when it is executable under that very name (relative names
//     are tried in the current directory first);
//   - name unchanged and unchecked, when it begins with ".";
//   - else the first "dir/name" for the directories of "PATH" in order that is
//     executable (an empty component stands for the root directory).
// A path that would not fit the 1,024-byte buffer is never returned cut.
const char *locate_executable(const char *name);

// The running program's own file, as start-up needs it.
struct RunningProgram {
  const char *lookup_name;  // the name to look the running file up under
  const char *path;         // path of the running file (static); null when unknown
};

// Finds the file the process runs from.  Returns true when it was found:
// lookup_name is then name itself when locate_executable(name) is that very
// file, else the kernel's path of the file; path is its path either way.  So a
// file of the same name in the current directory or earlier in "PATH" is
// never taken for the running program.  Returns false when the kernel cannot
// tell: lookup_name is then name, and path what locate_executable gives for it.
bool locate_running_program(const char *name, RunningProgram *running);

// The architecture the program was built for: "x86_64" or "aarch64".
extern const char *const locate_native_arch;

// Whether arch names an architecture that extractor images are built for.
bool locate_known_arch(const char *arch);

// Finds the executable file installed beside the program at program (the
// running program's path): program's folder/../lib/kapsa/file (an installed
// program), else program's folder/file (the build tree), where program's
// folder is first that of the file program names at the end of its
// symbolic links, then its own.  Returns the path in a static buffer, or
// null; tried then holds the paths looked at.
const char *locate_installed(const char *file, const char *program, char *tried, size_t tried_size);

// Finds the extractor image for arch installed beside the program at
// program (the running program's path): program's folder/../lib/kapsa/
// kapsa-<arch> (an installed program), else program's folder/kapsa-<arch>
// (the build tree), else, for the program's own architecture, the program
// itself.  Returns the path in a static buffer, or null; tried then holds
// the paths looked at, for the message.
const char *locate_extractor_image(const char *arch, const char *program, char *tried,
                                   size_t tried_size);

}  // namespace kapsa
