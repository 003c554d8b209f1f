// Finding executables through the current directory and "PATH".
#include "base/locate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support.h"

using namespace kapsa;
using test::TempDir;

namespace {

struct Locate : testing::Test {
  void SetUp() override {
    ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
    const char *p = getenv("PATH");
    saved_path = p ? p : "";
    test::write_file(dir / "tool", "#!/bin/sh\n", 0755);
    test::write_file(dir / "plain", "data", 0644);
    mkdir((dir / "bin").c_str(), 0755);
    test::write_file(dir / "bin/tool", "#!/bin/sh\n", 0755);
    test::write_file(dir / "bin/other", "#!/bin/sh\n", 0755);
  }
  void TearDown() override {
    ASSERT_EQ(chdir(saved_cwd), 0);
    setenv("PATH", saved_path.c_str(), 1);
  }
  std::string locate(const char *name) {
    const char *r = locate_executable(name);
    return r ? r : "<none>";
  }
  TempDir dir;
  char saved_cwd[4096];
  std::string saved_path;
};

TEST_F(Locate, AnExecutableInTheCurrentDirectoryComesBeforePath) {
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  setenv("PATH", (dir / "bin").c_str(), 1);
  EXPECT_EQ(locate("tool"), "tool");
  EXPECT_EQ(locate("other"), dir / "bin/other");
  EXPECT_EQ(locate((dir / "tool").c_str()), dir / "tool");
}

TEST_F(Locate, ANotExecutableFileIsNotFoundUnlessItsNameBeginsWithADot) {
  // Even root fails the execute test on a file without any execute bit.
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  setenv("PATH", (dir / "bin").c_str(), 1);
  EXPECT_EQ(locate((dir / "plain").c_str()), "<none>");
  EXPECT_EQ(locate("plain"), "<none>");
  EXPECT_EQ(locate("./plain"), "./plain");
  EXPECT_EQ(locate("./nonexistent"), "./nonexistent");
}

TEST_F(Locate, PathIsSearchedInOrderAndAnEmptyComponentMeansTheRoot) {
  setenv("PATH", ("/nonexistent::" + (dir / "bin")).c_str(), 1);
  EXPECT_EQ(locate("other"), dir / "bin/other");
  // The empty component gives "/" + name: /bin passes the execute test.
  EXPECT_EQ(locate("bin"), "/bin");
}

TEST_F(Locate, NoPathVariableFindsNothingBeyondTheNameItself) {
  unsetenv("PATH");
  EXPECT_EQ(locate("other"), "<none>");
}

TEST_F(Locate, APathTooLongForTheResultIsNeverReturnedCut) {
  std::string long_dir = "/" + std::string(1100, 'd');
  setenv("PATH", (long_dir + ":" + (dir / "bin")).c_str(), 1);
  EXPECT_EQ(locate("other"), dir / "bin/other");
  std::string long_name(1100, 'n');
  EXPECT_EQ(locate(long_name.c_str()), "<none>");
  EXPECT_EQ(locate(("./" + long_name).c_str()), "<none>");
  EXPECT_EQ(locate(""), "<none>");
}

}  // namespace

namespace {

// An installed kapsa reached through a symbolic link (a folder of PATH
// linking to /opt/kapsa/bin/kapsa) finds what was installed beside it.
TEST(LocateInstalled, HelpersAreFoundBesideTheProgramAtTheEndOfItsLinks) {
  TempDir dir;
  std::string bin = test::kapsa_bin();
  std::string zstd = bin.substr(0, bin.rfind('/')) + "/kapsa-zstd";
  test::Result made = test::sh("mkdir -p opt/bin opt/lib/kapsa links && cp '" + bin +
                                   "' opt/bin/kapsa && cp '" + zstd +
                                   "' opt/lib/kapsa/ && ln -s ../opt/bin/kapsa links/kapsa",
                               test::at(dir.path));
  ASSERT_EQ(made.status, 0) << made.err;
  test::write_file(dir / "data", test::text_bytes(20000, 3));
  test::RunOptions o = test::at(dir.path);
  o.env["PATH"] = dir / "links:/usr/bin:/bin";
  o.stdout_file = dir / "z.run";
  test::Result r = test::sh("kapsa --zstd=1 data", o);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::kapsa({"--check", dir / "z.run"}).status, 0);
}

}  // namespace
