// The extraction run: from the preamble to the post-install command.
#pragma once

namespace kapsa {

// Extracts the archive at path.  Returns 0 on success; -1 for a failure it
// reported; 1 when a raw payload held no data; or the post-install command's
// status.
int extract_archive(const char *path);

}  // namespace kapsa
