// Whether the process can have a given amount of memory more, asked before
// a job that needs it starts, so that a shortage is said in words instead of
// failing half-way (an allocation refused) or ending the process with no
// word at all (the kernel's out-of-memory killer of a memory cgroup).
#pragma once

#include <cstdint>

namespace kapsa {

// Whether bytes more of memory can be had: a trial mapping of that size,
// made and released at once, answers for the limits of the process (ulimit
// -v and -d) and the kernel's commit limit; the memory cgroups of the
// process and of its ancestors answer for their limits, each with the room
// its usage leaves (page cache the kernel can drop counted as room).
bool memory_available(uint64_t bytes);

// The room the memory cgroups of the process leave, the tightest of them,
// or UINT64_MAX when none sets a limit (or none can be read).
uint64_t memory_cgroup_room();

}  // namespace kapsa
