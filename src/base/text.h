// Bounded copies into the fixed text buffers of the program: every text that
// goes into a fixed buffer goes through one of these two, so that each bound
// is checked in one place and no text is ever cut silently.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kapsa {

// Copies src with its NUL into dst, which holds cap bytes.  Returns 0, or -1
// when src does not fit; dst is then left unchanged.
int text_copy(char *dst, size_t cap, const char *src);

// Formats into dst, which holds cap bytes.  Returns 0, or -1 when the result
// would not fit (or cannot be formatted); dst then holds an empty text.
__attribute__((format(printf, 3, 4))) int text_format(char *dst, size_t cap, const char *format,
                                                      ...);

// Returns the text after the last "/" of path (the whole path when it has none).
const char *text_last_component(const char *path);

// Whether text holds a control character (with keep_layout, newlines and
// tabs are none): a byte below 0x20, 0x7f, or a C1
// control (U+0080 to U+009F as UTF-8, or a byte 0x80 to 0x9f that is no part
// of a UTF-8 character), which some terminals obey as well.
bool text_has_control(const char *text, bool keep_layout = false);

// Writes text to out so that a terminal shows it as it is: a text without
// control characters byte for byte; in one with them, each control
// character escaped ("\r", "\n", "\t", "\e", else "\ooo" in octal, a byte
// each) and each backslash doubled, so that what is shown cannot be
// mistaken.  With keep_layout, newlines and tabs are no control characters:
// they are written as they are (a banner's own lines).
void text_print_escaped(FILE *out, const char *text, bool keep_layout = false);

// The same into a string: a text to hand to a message that formats it.
// Returns dst, cut (never past cap bytes, always terminated) when the
// escaped text does not fit.
const char *text_escaped(char *dst, size_t cap, const char *text);

// Room for any text of a 1,024-byte buffer escaped (four bytes a byte).
constexpr size_t text_shown_size = 4 * 1024;

// A text escaped for a message: Shown(text).text.
struct Shown {
  char text[text_shown_size];
  explicit Shown(const char *raw) { text_escaped(text, sizeof text, raw); }
};

}  // namespace kapsa
