// Finding executables: a command name to the path of an executable file.
#pragma once

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

// Returns the name under which the running program's own file is looked up:
// name itself when locate_executable(name) is the very file the process runs
// from; otherwise the kernel's path of that file (in a static buffer).  So a
// file of the same name in the current directory or earlier in "PATH" is
// never taken for the running program.  Where the kernel cannot tell, name.
const char *locate_running_program(const char *name);

}  // namespace kapsa
