// The fatal stop: how the process ends when it cannot go on.
//
// fatal_exit ends the process with status 1.  Before it does, it removes the
// temporary symbolic link that an extraction may have made (and nothing else),
// so that a run that dies half-way leaves no link behind.  The same removal
// runs when SIGINT, SIGTERM or SIGHUP end an extraction.
//
// The fuzzing build must not end the process: there fatal_exit throws
// FatalStop, which the fuzz target catches.
#pragma once

#include <cstddef>

namespace kapsa {

// Size of a temporary link's path buffer: at most 511 characters and a NUL.
constexpr size_t link_buffer_size = 512;

struct FatalStop {};

[[noreturn]] void fatal_exit();

// Registers the temporary link at path (null or "" to forget it).  While a
// link is registered, SIGINT, SIGTERM and SIGHUP remove it before the process
// dies of the signal.
void fatal_set_link(const char *path);

// Removes the registered link if it is still a symbolic link, and forgets it.
void fatal_remove_link();

}  // namespace kapsa
