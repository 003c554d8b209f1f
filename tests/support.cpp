// Helpers for the tests.
#include "support.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "archive/preamble.h"

extern char **environ;

namespace test {

const char *kapsa_bin() {
  const char *override = getenv("KAPSA_TEST_BIN");
  return override && *override ? override : KAPSA_BIN;
}

TempDir::TempDir() {
  char templ[] = "/tmp/kapsa-test-XXXXXX";
  if (!mkdtemp(templ)) abort();
  path = templ;
}

TempDir::~TempDir() { remove_tree(path); }

void remove_tree(const std::string &path) {
  nftw(
      path.c_str(),
      [](const char *p, const struct stat *, int type, struct FTW *) {
        if (type == FTW_DP) {
          rmdir(p);
        } else {
          unlink(p);
        }
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string &path, const std::string &data, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create " << path << ": " << strerror(errno);
    return;
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  close(fd);
  chmod(path.c_str(), mode);
}

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_symlink(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string text_bytes(size_t size, unsigned seed) {
  static const char *words[] = {"install", "kapsa ", "lib",   "usr/",
                                "share",   " ",      "\n",    "config",
                                "=",       "0",      "1",     "#include <stdio.h>\n",
                                "int ",    "main",   "(void)"};
  std::mt19937 gen(seed);
  std::string s;
  while (s.size() < size) s += words[gen() % (sizeof words / sizeof *words)];
  s.resize(size);
  return s;
}

std::string random_bytes(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto &c : s) c = char(gen() & 0xff);
  return s;
}

namespace {

void drain(int fd, std::string &into, bool &open) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) {
    into.append(buf, size_t(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    open = false;
  }
}

// Waits for the child pid; returns its exit status, or 128 + signal number.
int wait_for(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

Result run(const std::string &program, const std::vector<std::string> &args,
           const RunOptions &opts) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
    abort();
  std::vector<std::string> argv_s;
  argv_s.push_back(opts.argv0.empty() ? program : opts.argv0);
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_s) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    if (opts.input_devnull) {
      int fd = open("/dev/null", O_RDONLY);
      dup2(fd, 0);
    } else {
      dup2(in_pipe[0], 0);
    }
    if (!opts.stdout_file.empty()) {
      int fd = open(opts.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(126);
      dup2(fd, 1);
    } else {
      dup2(out_pipe[1], 1);
    }
    dup2(err_pipe[1], 2);
    close_range(3, ~0U, 0);  // nothing of the test runner's reaches the program
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    for (auto &[k, v] : opts.env) setenv(k.c_str(), v.c_str(), 1);
    for (auto &k : opts.unset_env) unsetenv(k.c_str());
    signal(SIGPIPE, SIG_DFL);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  Result result;
  size_t fed = 0;
  int in_fd = in_pipe[1];
  if (opts.input.empty() || opts.input_devnull) {
    close(in_fd);
    in_fd = -1;
  } else {
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  time_t deadline = time(nullptr) + opts.timeout_seconds;
  bool killed = false;
  while (out_open || err_open) {
    struct pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    int r = poll(fds, nfds_t(n), 1000);
    if (time(nullptr) > deadline && !killed) {
      kill(pid, SIGKILL);
      killed = true;
      ADD_FAILURE() << "timed out: " << program;
    }
    if (r <= 0) continue;
    for (int i = 0; i < n; i++) {
      if (!fds[i].revents) continue;
      if (fds[i].fd == out_pipe[0]) drain(out_pipe[0], result.out, out_open);
      if (fds[i].fd == err_pipe[0]) drain(err_pipe[0], result.err, err_open);
      if (fds[i].fd == in_fd) {
        ssize_t w = write(in_fd, opts.input.data() + fed, opts.input.size() - fed);
        if (w > 0) fed += size_t(w);
        if (w < 0 && errno != EAGAIN) fed = opts.input.size();
        if (fed == opts.input.size()) {
          close(in_fd);
          in_fd = -1;
        }
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.status = wait_for(pid);
  return result;
}

Result run_on_terminal(const std::string &program, const std::vector<std::string> &args,
                       const std::string &input, const std::string &cwd) {
  std::vector<std::string> argv_s = {program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &a : argv_s) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  int master;
  struct termios raw = {};
  raw.c_iflag = ICRNL;
  raw.c_lflag = ICANON | ISIG;  // lines, ^D, but no echo
  raw.c_cflag = CS8 | CREAD;
  raw.c_cc[VEOF] = 4;
  raw.c_cc[VINTR] = 3;
  raw.c_cc[VMIN] = 1;
  pid_t pid = forkpty(&master, nullptr, &raw, nullptr);
  if (pid < 0) abort();
  if (pid == 0) {
    close_range(3, ~0U, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Result result;
  // Type one line at a time, as a person would: a line typed before the
  // program asks is still read in order, but ^D must come on its own.
  size_t fed = 0;
  time_t deadline = time(nullptr) + 60;
  for (;;) {
    struct pollfd fds = {master, POLLIN, 0};
    int r = poll(&fds, 1, 200);
    if (r > 0) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;  // EIO: the child has closed the terminal
      result.out.append(buf, size_t(n));
      continue;
    }
    if (fed < input.size()) {
      size_t end = input.find_first_of("\n\x04", fed);
      end = end == std::string::npos ? input.size() : end + 1;
      if (write(master, input.data() + fed, end - fed) < 0) break;
      fed = end;
    }
    if (time(nullptr) > deadline) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "timed out on the terminal: " << program;
      break;
    }
  }
  close(master);
  result.status = wait_for(pid);
  return result;
}

Result in_mount_namespace(const std::string &script, const RunOptions &opts) {
  RunOptions o = opts;
  o.env["K"] = kapsa_bin();
  return run("/usr/bin/unshare", {"-m", "/bin/sh", "-euc", script}, o);
}

Result sh(const std::string &command, const RunOptions &opts) {
  return run("/bin/sh", {"-c", command}, opts);
}

std::string build_archive(const TempDir &dir, const std::string &name,
                          const std::vector<std::string> &args) {
  RunOptions opts;
  opts.cwd = dir.path;
  opts.stdout_file = dir / name;
  Result r = kapsa(args, opts);
  EXPECT_EQ(r.status, 0) << r.err;
  chmod((dir / name).c_str(), 0755);
  return dir / name;
}

Result in_child(const std::function<int()> &fn) {
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) || pipe(err_pipe)) abort();
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) abort();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int code = fn();
    fflush(stdout);
    fflush(stderr);
    _exit(code);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  Result result;
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    struct pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0},
                            {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0) continue;
    if (fds[0].revents) drain(out_pipe[0], result.out, out_open);
    if (fds[1].revents) drain(err_pipe[0], result.err, err_open);
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  result.status = wait_for(pid);
  return result;
}

std::string payload_of(const std::string &archive) {
  size_t at = archive.find(magic());
  if (at == std::string::npos) return "";
  at += kapsa::magic_size;
  for (int i = 0; i < 4; i++) at = archive.find('\0', at) + 1;
  return archive.substr(at);
}

Result gzip_peer(const std::vector<std::string> &args) {
  std::vector<std::string> all = {"python3", KAPSA_SOURCE_DIR "/tests/gzip_peer.py"};
  all.insert(all.end(), args.begin(), args.end());
  return run("/usr/bin/env", all);
}

std::string magic() {
  return std::string(reinterpret_cast<const char *>(kapsa::build_magic()), kapsa::magic_size);
}

bool can_mount(std::string *reason) {
  if (geteuid() != 0) {
    *reason = "mounting needs root";
    return false;
  }
  Result r = sh("unshare -m sh -c 'mount -t tmpfs -o size=1m tmpfs /mnt'");
  if (r.status != 0) {
    *reason = "cannot mount in a private namespace: " + r.err;
    return false;
  }
  return true;
}

const std::string &python_path() {
  static const std::string path = [] {
    Result r = run("/usr/bin/env", {"python3", "-c", "import sys; print(sys.executable)"});
    return r.status == 0 ? r.out.substr(0, r.out.size() - 1) : std::string("python3");
  }();
  return path;
}

Result python(const std::string &code, std::vector<std::string> args) {
  args.insert(args.begin(), {"-c", code});
  return run(python_path(), args);
}

MinisignKeys::MinisignKeys() {
  EXPECT_EQ(access(minisign, X_OK), 0) << "install Debian's minisign";
  for (const char *name : {"w", "o"}) make(name, {"-W"}, "");
}

void MinisignKeys::make(const std::string &name, std::vector<std::string> args,
                        const std::string &input) const {
  RunOptions opts = at(dir.path);
  opts.input = input;
  args.insert(args.begin(), {"-G", "-p", name + ".pub", "-s", name + ".key"});
  Result r = run(minisign, args, opts);
  ASSERT_EQ(r.status, 0) << r.err;
}

std::string MinisignKeys::path(const std::string &file) const {
  if (file[0] == 'k' && !exists(dir / file)) make("k", {}, "pw\npw\n");
  return dir / file;
}

std::string MinisignKeys::id(const std::string &name) const {
  std::string pub = read_file(path(name + ".pub"));
  std::string comment = pub.substr(0, pub.find('\n'));
  return comment.substr(comment.rfind(' ') + 1);
}

std::string MinisignKeys::text(const std::string &name) const {
  std::string pub = read_file(path(name + ".pub"));
  size_t at = pub.find('\n') + 1;
  return pub.substr(at, pub.find('\n', at) - at);
}

const MinisignKeys &minisign_keys() {
  static MinisignKeys made;
  return made;
}

}  // namespace test
