// Cutting the directory part off a path.
#pragma once

namespace kapsa {

// Cuts the directory part off path in place: the text after its last "/"
// (with its NUL) is moved to the start of the buffer.  A path without "/"
// stays as it is; one that ends in "/" (and "/" itself) becomes empty.
// Returns path.  Cannot fail on a string; a null path is outside its
// contract.
char *basename(char *path);

}  // namespace kapsa
