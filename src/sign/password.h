// The password of a secret key, asked on the terminal.
#pragma once

#include <cstddef>

namespace kapsa {

// The longest password taken, as minisign takes it.
constexpr size_t sign_password_max = 1024;

// Asks for the password of the key file keyfile on the process's terminal
// (/dev/tty, whatever standard input and output are): writes "Password: "
// there and reads one line with echo off.  The line end (and a carriage
// return before it) is no part of the password.
//
// The terminal gets its settings back on every way out; SIGINT, SIGQUIT,
// SIGTERM or SIGHUP arriving meanwhile (unless ignored) restore them before
// the signal takes its course with the disposition it had before: its
// default ends the process.  Signals ignored stay ignored.
//
// Returns the password's length, with the password and a NUL in out (room
// for sign_password_max + 1 bytes); or -1 after printing one line naming
// keyfile: "the key is protected by a password and there is no terminal to
// ask it on", "the password is longer than 1024 bytes", or the system's
// reason when the terminal cannot be read or set.  -1 without a word when a
// signal whose handler returned cut the question short.  out holds nothing
// of the password after -1.
int sign_ask_password(const char *keyfile, char out[sign_password_max + 1]);

}  // namespace kapsa
