// Who made an archive: its signature block checked against its own key, or
// against the keys the user trusts (--key), before anything of it runs.
#pragma once

#include "archive/preamble.h"
#include "base/options.h"

namespace kapsa {

// Checks the signature of the archive a (opened): with options.keys, the
// archive must be signed by one of them; without, a signed archive must
// still match its own key (an unsigned one passes).  With say_ok, a good
// signature is said on standard output: "<name>: signed by <key id>: OK"
// and its trusted comment, escaped.  Returns 0, or -1 after one line on
// standard error: "<name>: not signed", "<name>: signed by another key
// (<key id>)", "<name>: signature does not match: the archive was changed
// after it was signed", "<name>: signature block damaged: ...", or a key
// that cannot be read.
int signature_check(const Archive &a, const Options &options, bool say_ok);

// Says on standard output that the archive a (checked) is signed:
// "<name>: signed by <key id>: OK" and "    trusted comment: <comment>".
void signature_print_ok(const Archive &a);

// Prints the signature of the archive a as a minisign .minisig file on
// standard output.  Returns 0, or -1 after "<name>: not signed".
int signature_print_minisig(const Archive &a);

}  // namespace kapsa
