// Finding the end of the last simple command of a shell command line.
//
// The line is read as POSIX sh reads it, token by token: blanks, escaped
// newlines, comments (a "#" that begins a token), single and double
// quotes, backslash escapes, "$(...)", "$((...))", "${...}" and backquotes
// (quotes and substitutions nested inside them), the operators
// "| || & && ; ;; ( )" and the redirections "< > >> >& <& <> >| <<
// <<-", whose here-documents' bodies are stepped over at the newline that
// follows.  A word at the start of a command may be a reserved word or an
// assignment.  What is kept of all this is where the last word of a simple
// command ended, and whether anything came after it that forbids adding
// words there.
#include "extract/shell.h"

#include <cstddef>
#include <cstring>

namespace kapsa {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_operator(char c) { return c != '\0' && strchr("|&;<>()", c) != nullptr; }
bool ends_word(char c) { return c == '\0' || c == '\n' || is_blank(c) || is_operator(c); }

bool skip_quoted_or_substituted(const char *s, size_t &i);

// From an opening single quote: past the closing one.  False when there is
// none.
bool skip_single(const char *s, size_t &i) {
  const char *close = strchr(s + i + 1, '\'');
  if (!close) return false;
  i = size_t(close - s) + 1;
  return true;
}

// Whether a substitution begins at s[i]: "$(", "${" or a backquote.
bool begins_substitution(const char *s, size_t i) {
  return s[i] == '`' || (s[i] == '$' && (s[i + 1] == '(' || s[i + 1] == '{'));
}

// From an opening double quote: past the closing one, escapes and
// substitutions inside stepped over.  False when it does not close.
bool skip_double(const char *s, size_t &i) {
  i++;
  while (s[i] && s[i] != '"') {
    if (s[i] == '\\' && s[i + 1]) {
      i += 2;
    } else if (begins_substitution(s, i)) {
      if (!skip_quoted_or_substituted(s, i)) return false;
    } else {
      i++;
    }
  }
  if (!s[i]) return false;
  i++;
  return true;
}

// From the "$(" or "${" or backquote that begins a substitution: past its
// end, with quotes and substitutions nested inside.  False when it does not
// end.
bool skip_substitution(const char *s, size_t &i) {
  if (s[i] == '`') {
    for (i++; s[i] && s[i] != '`'; i++)
      if (s[i] == '\\' && s[i + 1]) i++;
    if (!s[i]) return false;
    i++;
    return true;
  }
  char open = s[i + 1], close = open == '(' ? ')' : '}';
  int depth = 1;
  for (i += 2; s[i];) {
    char c = s[i];
    if (c == '\\' && s[i + 1]) {
      i += 2;
    } else if (c == '\'' || c == '"' || begins_substitution(s, i)) {
      if (!skip_quoted_or_substituted(s, i)) return false;
    } else {
      if (c == open) depth++;
      i++;
      if (c == close && --depth == 0) return true;
    }
  }
  return false;
}

bool skip_quoted_or_substituted(const char *s, size_t &i) {
  if (s[i] == '\'') return skip_single(s, i);
  if (s[i] == '"') return skip_double(s, i);
  return skip_substitution(s, i);
}

// Reads the word at s[i] to its end.  False when a quote or a substitution
// in it does not end, or it ends in a backslash with nothing to escape.
bool read_word(const char *s, size_t &i) {
  while (!ends_word(s[i])) {
    if (s[i] == '\\') {
      if (!s[i + 1]) return false;
      i += 2;
    } else if (s[i] == '\'' || s[i] == '"' || begins_substitution(s, i)) {
      if (!skip_quoted_or_substituted(s, i)) return false;
    } else {
      i++;
    }
  }
  return true;
}

// A here-document waiting for the newline after which its body begins.
struct HereDocument {
  char delimiter[256];  // the delimiter word, its quotes removed
  bool strip_tabs;      // "<<-": leading tabs of the body's lines are dropped
};

// Takes the delimiter word s[from, to) with its quotes and escapes removed.
// False when it does not fit.
bool take_delimiter(const char *s, size_t from, size_t to, HereDocument &doc) {
  size_t n = 0;
  for (size_t i = from; i < to; i++) {
    if (s[i] == '\'' || s[i] == '"') continue;
    if (s[i] == '\\' && i + 1 < to) i++;
    if (n + 1 >= sizeof doc.delimiter) return false;
    doc.delimiter[n++] = s[i];
  }
  doc.delimiter[n] = '\0';
  return true;
}

// From the first line of the body of doc: past its delimiter line.  False
// when the line never comes.
bool skip_body(const char *s, size_t &i, const HereDocument &doc) {
  size_t len = strlen(doc.delimiter);
  while (s[i]) {
    size_t line = i;
    if (doc.strip_tabs)
      while (s[line] == '\t') line++;
    const char *end = strchr(s + i, '\n');
    size_t next = end ? size_t(end - s) + 1 : strlen(s);
    size_t line_end = end ? size_t(end - s) : next;
    i = next;
    if (line_end - line == len && strncmp(s + line, doc.delimiter, len) == 0) return true;
  }
  return false;
}

// Whether the word s[from, to) is one of the reserved words; those after
// which a command follows (then, do, ...) give 1, those that close a
// compound command (fi, done, ...) 2, and for and case, whose next words
// are no commands, 3.  0 for any other word.
int reserved_word(const char *s, size_t from, size_t to) {
  static const char *const opening[] = {"if", "then", "else", "elif", "do",
                                        "while", "until", "{", "!"};
  static const char *const closing[] = {"fi", "done", "esac", "}"};
  static const char *const naming[] = {"for", "case"};
  size_t len = to - from;
  auto is = [&](const char *word) { return strlen(word) == len && strncmp(s + from, word, len) == 0; };
  for (const char *word : opening)
    if (is(word)) return 1;
  for (const char *word : closing)
    if (is(word)) return 2;
  for (const char *word : naming)
    if (is(word)) return 3;
  return 0;
}

// Whether the word s[from, to) is an assignment: a name, then "=".
bool is_assignment(const char *s, size_t from, size_t to) {
  size_t i = from;
  if (!(s[i] == '_' || (s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) return false;
  while (i < to && (s[i] == '_' || (s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z') ||
                    (s[i] >= '0' && s[i] <= '9')))
    i++;
  return i < to && s[i] == '=';
}

}  // namespace

long shell_args_position(const char *s) {
  constexpr int docs_max = 8;
  HereDocument docs[docs_max];
  int pending = 0;              // here-documents whose bodies follow the next newline
  long position = -1;           // behind the last word of a simple command
  bool open_end = false;        // something after that word forbids adding there
  bool command_start = true;    // the next word begins a command
  bool redirect_target = false; // the next word is a redirection's target
  bool eval = false;            // the current simple command is eval
  size_t i = 0;
  while (s[i]) {
    char c = s[i];
    if (is_blank(c)) {
      i++;
    } else if (c == '\\' && s[i + 1] == '\n') {  // a line continued
      i += 2;
    } else if (c == '\n') {
      i++;
      for (int k = 0; k < pending; k++)
        if (!skip_body(s, i, docs[k])) return -1;
      pending = 0;
      command_start = true;
    } else if (c == '#') {  // a comment, to the end of its line
      while (s[i] && s[i] != '\n') i++;
    } else if (c == '<' && s[i + 1] == '<') {  // a here-document
      i += 2;
      bool strip_tabs = s[i] == '-';
      if (strip_tabs) i++;
      while (is_blank(s[i])) i++;
      size_t from = i;
      if (!read_word(s, i) || i == from || pending == docs_max) return -1;
      if (!take_delimiter(s, from, i, docs[pending])) return -1;
      docs[pending++].strip_tabs = strip_tabs;
      position = long(i);  // the delimiter: words may follow it
      open_end = false;
    } else if (is_operator(c)) {
      char next = s[i + 1];
      i++;
      if ((c == '&' && next == '&') || (c == '|' && next == '|') || (c == ';' && next == ';')) {
        i++;
        open_end = true;
        command_start = true;
      } else if (c == '|' || c == '(') {
        if (c == '|' && next == '&') i++;
        open_end = true;
        command_start = true;
      } else if (c == ')') {  // a subshell's end, or a case pattern's
        open_end = true;
        command_start = true;
      } else if (c == ';' || c == '&') {  // a terminator: the command before it is whole
        command_start = true;
      } else {  // a redirection: < > >> >& <& <> >|
        if ((c == '>' && (next == '>' || next == '&' || next == '|')) ||
            (c == '<' && (next == '&' || next == '>')))
          i++;
        redirect_target = true;
        open_end = true;
      }
    } else {
      size_t from = i;
      if (!read_word(s, i)) return -1;
      if (redirect_target) {  // still the same simple command
        redirect_target = false;
      } else if (command_start) {
        int reserved = reserved_word(s, from, i);
        if (reserved || is_assignment(s, from, i)) {
          open_end = true;
          command_start = reserved != 2 && reserved != 3;
          continue;
        }
        eval = i - from == 4 && strncmp(s + from, "eval", 4) == 0;
        command_start = false;
      }
      position = long(i);
      open_end = false;
    }
  }
  if (pending || open_end || redirect_target || eval) return -1;
  return position;
}

}  // namespace kapsa
