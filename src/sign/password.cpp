// The password of a secret key, asked on the terminal with echo off.
#include "sign/password.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/syserr.h"
#include "base/text.h"

namespace kapsa {

namespace {

// The signals that end an interactive program: while a password is asked,
// they put the terminal's settings back before they take their course.
constexpr int password_signals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};
constexpr int password_signal_count = sizeof password_signals / sizeof password_signals[0];

// What the signal handler reaches: the terminal being asked on.
struct PasswordTerminal {
  int fd;                        // /dev/tty while echo is off, else -1; set by sign_ask_password
  struct termios saved;          // its settings before; set by sign_ask_password
  volatile sig_atomic_t caught;  // the signal that came meanwhile, 0 for none; set by the handler
};
PasswordTerminal password_terminal = {-1, {}, 0};

// Puts the terminal's settings back and notes the signal; the read it cut
// short sees EINTR, and sign_ask_password passes the signal on.
void password_on_signal(int signal_number) {
  int saved_errno = errno;
  if (password_terminal.fd >= 0) tcsetattr(password_terminal.fd, TCSANOW, &password_terminal.saved);
  password_terminal.caught = signal_number;
  errno = saved_errno;
}

void say_no_terminal(const char *keyfile) {
  fprintf(stderr, "%s: the key is protected by a password and there is no terminal to ask it on\n",
          Shown(keyfile).text);
}

void say_terminal_error(const char *keyfile) {
  fprintf(stderr, "%s: /dev/tty: %s\n", Shown(keyfile).text, syserr_text(errno));
}

// Writes size bytes of text to fd, going on after short writes and signals
// that were not caught.  Returns 0, or -1 with errno set.
int write_text(int fd, const char *text, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, text, size);
    if (n < 0 && errno == EINTR && !password_terminal.caught) continue;
    if (n < 0) return -1;
    text += n;
    size -= size_t(n);
  }
  return 0;
}

// Reads one line from fd into out.  Returns its length without the line
// end; -2 when it is longer than sign_password_max (the rest of the line is
// read and dropped); -1 with errno set when a read fails or a caught signal
// cuts it short (errno EINTR).  *ended tells whether a line end came (not
// the end of input).
int read_line(int fd, char out[sign_password_max + 1], bool *ended) {
  size_t len = 0;
  bool too_long = false;
  *ended = false;
  for (;;) {
    if (password_terminal.caught) {
      errno = EINTR;
      return -1;
    }
    char c;
    ssize_t n = read(fd, &c, 1);
    if (n < 0 && errno == EINTR && !password_terminal.caught) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    if (c == '\n') {
      *ended = true;
      break;
    }
    if (len == sign_password_max)
      too_long = true;
    else
      out[len++] = c;
  }
  if (!too_long && len > 0 && out[len - 1] == '\r') len--;
  out[len] = '\0';
  return too_long ? -2 : int(len);
}

}  // namespace

int sign_ask_password(const char *keyfile, char out[sign_password_max + 1]) {
  out[0] = '\0';
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    say_no_terminal(keyfile);
    return -1;
  }
  struct termios saved;
  if (tcgetattr(fd, &saved) != 0) {
    say_no_terminal(keyfile);
    close(fd);
    return -1;
  }

  // Echo goes off with the handlers in place, and the signals blocked until
  // both are done: a signal never finds echo off and no handler to turn it
  // back on.  Without SA_RESTART, a caught signal cuts the read short.
  sigset_t signals, old_mask;
  sigemptyset(&signals);
  for (int s : password_signals) sigaddset(&signals, s);
  sigprocmask(SIG_BLOCK, &signals, &old_mask);
  struct sigaction catcher = {}, old_actions[password_signal_count];
  catcher.sa_handler = password_on_signal;
  sigfillset(&catcher.sa_mask);
  for (int i = 0; i < password_signal_count; i++) {
    sigaction(password_signals[i], nullptr, &old_actions[i]);
    if (old_actions[i].sa_handler != SIG_IGN) sigaction(password_signals[i], &catcher, nullptr);
  }
  password_terminal.fd = fd;
  password_terminal.saved = saved;
  password_terminal.caught = 0;
  struct termios quiet = saved;
  quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK);
  quiet.c_lflag |= ECHONL;  // the line end still shows: the cursor moves on
  int result = tcsetattr(fd, TCSAFLUSH, &quiet);
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);

  bool ended = false;
  if (result == 0) result = write_text(fd, "Password: ", 10);
  if (result == 0) result = read_line(fd, out, &ended);
  int read_errno = errno;

  // Everything back as it was, with the signals blocked again so that none
  // comes between.
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  int restored = tcsetattr(fd, TCSAFLUSH, &saved);
  int restore_errno = errno;
  password_terminal.fd = -1;
  for (int i = 0; i < password_signal_count; i++)
    sigaction(password_signals[i], &old_actions[i], nullptr);
  int caught = password_terminal.caught;
  password_terminal.caught = 0;
  if (result >= 0 && !ended) write_text(fd, "\n", 1);  // ^D: no line end was echoed
  close(fd);
  if (caught) {
    // Pending until the mask is given back: it then takes its course.
    memset(out, 0, sign_password_max + 1);
    raise(caught);
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    return -1;
  }
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  if (result == -2)
    fprintf(stderr, "%s: the password is longer than %zu bytes\n", Shown(keyfile).text,
            sign_password_max);
  else if (result < 0 || restored != 0) {
    errno = result < 0 ? read_errno : restore_errno;
    say_terminal_error(keyfile);
  }
  if (result < 0 || restored != 0) {
    memset(out, 0, sign_password_max + 1);
    return -1;
  }
  return result;
}

}  // namespace kapsa
