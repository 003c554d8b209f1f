// Reading a shell command line as the shell will, far enough to know where
// its last simple command ends.
//
// The post-install command is a line of shell text written by whoever built
// the archive; arguments given after "--" when the archive runs are added
// to its last simple command as "$@" (a setup script's --prefix).  Added as
// plain text behind the line they could be swallowed by a comment or a
// here-document, or become a command of their own after a newline, a ";" or
// an "&&".  So the line is read: quotes, escapes, substitutions, comments
// and here-documents, the operators and the reserved words, and "$@" goes
// just behind the last word of the last simple command, where the shell
// takes it for that command's arguments, or nowhere.
#pragma once

namespace kapsa {

// The offset in command just behind the last word of its last simple
// command, where " \"$@\"" makes the arguments that command's own; the
// blanks, terminators (";", "&", newlines) and comments after it are left
// where they are.  Returns -1 when there is no such place: the line holds no
// command, ends in an operator that wants more ("|", "&&", "||", "(",
// ";;"), in a compound command ("fi", "done", "esac", "}", ")"), in an
// assignment alone, in an eval (which would run the arguments as shell
// text), or inside a quote, a substitution or a here-document.
long shell_args_position(const char *command);

}  // namespace kapsa
