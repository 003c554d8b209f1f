// Cutting the directory part off a path, in place.
#pragma once

namespace kapsa {

// Moves the text after the last "/" of path to its start and returns path.
char *basename(char *path);

}  // namespace kapsa
