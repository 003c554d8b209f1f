// System error messages: "<name>: <reason>" on standard error, as perror
// prints them, with the same reason texts whatever C library the program is
// linked with (the shipped program carries musl, whose texts differ from the
// usual Linux ones for a good many errors).
#pragma once

namespace kapsa {

// The reason text of errno value errnum: the usual Linux text for the errors
// of files, processes and memory, else the C library's own.
const char *syserr_text(int errnum);

// Prints "<name>: <reason of errno>\n" to standard error, or only the reason
// when name is null or empty; errno is kept.  Used wherever perror would be.
void syserr_report(const char *name);

}  // namespace kapsa
