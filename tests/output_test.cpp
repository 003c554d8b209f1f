// The one output path and the jobs around it: a writer thread that cannot
// start, a fault in the writer thread, and checks and listings of several
// archives that each get their say.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "support.h"

namespace {

using test::Result;
using test::RunOptions;
using test::TempDir;

// Without a writer thread the decoding thread writes, the same bytes.
TEST(Paths, WithoutAWriterThreadTheSameBytesArrive) {
  TempDir dir;
  std::string data = test::text_bytes(3 << 20, 7) + test::random_bytes(1 << 20, 8);
  test::write_file(dir / "f", data);
  test::build_archive(dir, "a.run", {"f"});
  for (const char *threads : {"", "1"}) {
    RunOptions o = test::at(dir.path);
    o.env["LD_PRELOAD"] = KAPSA_FAULT_SHIM;
    o.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    if (*threads) o.env["KAPSA_NO_THREADS"] = threads;
    o.stdout_file = dir / "out";
    Result x = test::run(KAPSA_DYNAMIC_BIN, {"-u", "-x", "a.run"}, o);
    EXPECT_EQ(x.status, 0) << threads << x.err;
    EXPECT_TRUE(test::read_file(dir / "out") == data) << threads;
    o.stdout_file.clear();
    Result check = test::run(KAPSA_DYNAMIC_BIN, {"--check", "a.run"}, o);
    EXPECT_EQ(check.out, "a.run: OK\n") << threads << check.err;
  }
}

// A fault raised in the writer thread runs the cleanup: the extract command
// is waited for and the temporary link removed.
TEST(Paths, AFaultInTheWriterThreadStillRemovesTheLink) {
  if (!KAPSA_STATIC_PROGRAM) GTEST_SKIP() << "the sanitizers handle faults themselves";
  TempDir dir;
  mkdir((dir / "fs").c_str(), 0755);
  mkdir((dir / "tmp").c_str(), 0755);
  test::write_file(dir / "f", test::random_bytes(8 << 20, 9));
  std::string command =
      "touch " + dir / "started" + "; sleep 0.5; cat > /dev/null; touch " + dir / "ended";
  std::string a =
      test::build_archive(dir, "a.run", {"-V", dir / "fs", "-S", "app", "-f", command, "f"});
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close_range(3, ~0U, 0);
    execl(a.c_str(), a.c_str(), "-t", (dir / "tmp").c_str(), (char *)nullptr);
    _exit(127);
  }
  for (int i = 0; i < 500 && !test::exists(dir / "started"); i++) usleep(10000);
  ASSERT_TRUE(test::is_symlink(dir / "fs/app"));
  // The writer is the thread that is not the main one.
  pid_t writer = 0;
  for (int i = 0; i < 200 && !writer; i++) {
    if (DIR *tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
      while (dirent *e = readdir(tasks))
        if (e->d_name[0] != '.' && atoi(e->d_name) != pid) writer = atoi(e->d_name);
      closedir(tasks);
    }
    if (!writer) usleep(10000);
  }
  ASSERT_NE(writer, 0) << "no writer thread";
  ASSERT_EQ(syscall(SYS_tgkill, pid, writer, SIGSEGV), 0);
  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  EXPECT_TRUE(test::exists(dir / "ended")) << "the command ended before the run";
  EXPECT_FALSE(test::exists(dir / "fs/app")) << "the link is gone";
}

// --check and -l of several archives: a damaged one, even one whose damage
// ends its check, does not keep the others from being tested and listed.
TEST(Paths, EveryArchiveGivenIsCheckedAndListed) {
  TempDir dir;
  test::write_file(dir / "f", test::text_bytes(200000, 10));
  std::string bytes = test::read_file(test::build_archive(dir, "good.run", {"f"}));
  std::string bad = bytes;
  bad[bad.size() - 8] ^= 1;  // the stored CRC
  test::write_file(dir / "bad.run", bad, 0755);
  size_t payload = bytes.size() - test::payload_of(bytes).size();
  test::write_file(dir / "cut.run", bytes.substr(0, payload + 5), 0755);  // inside the header
  RunOptions o = test::at(dir.path);
  Result check = test::kapsa({"--check", "bad.run", "cut.run", "good.run"}, o);
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out, "good.run: OK\n");
  const std::string k = test::kapsa_bin();
  EXPECT_EQ(check.err, "\n" + k + ": bad.run: invalid compressed data--crc error\n\n" + k +
                           ": cut.run: unexpected end of file\n");
  Result list = test::kapsa({"-l", "cut.run", "good.run"}, o);
  EXPECT_EQ(list.status, 1);
  EXPECT_EQ(list.err, "\n" + k + ": cut.run: unexpected end of file\n");
  EXPECT_NE(list.out.find("compressed  uncompr. ratio uncompressed_name\n"), std::string::npos)
      << list.out;
  EXPECT_EQ(list.out.substr(list.out.size() - 3), " f\n");
}

}  // namespace
