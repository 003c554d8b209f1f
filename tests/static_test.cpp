// The shipped program is static: it runs where only a kernel and a shell are
// (a chroot holding nothing but busybox), and its aarch64 build runs under a
// user-mode emulator.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support.h"

namespace {

using test::Result;
using test::TempDir;

const std::string aarch64_bin = KAPSA_AARCH64_BIN;

using test::static_skip;

// A small tree, packed by tar, with a post-install script that records its
// environment.
void make_tree(const TempDir &dir) {
  ASSERT_EQ(test::sh("mkdir -p app/bin app/share && echo one > app/bin/tool && "
                     "echo two > app/share/data && "
                     "printf 'echo \"post $NAME $1\" > post.out\\n' > app/setup.sh && "
                     "tar cf app.tar app && rm -r app",
                     test::at(dir.path))
                .status,
            0);
}

TEST(Static, ImagesHaveNoInterpreterNoLibrariesAndNoGlibcVersions) {
  std::string skip = static_skip();
  if (!skip.empty()) GTEST_SKIP() << skip;
  for (const std::string &image : {std::string(test::kapsa_bin()), aarch64_bin}) {
    ASSERT_TRUE(test::exists(image)) << image << " is not built (make cross)";
    Result headers = test::sh("readelf -lW '" + image + "'");
    EXPECT_EQ(headers.status, 0) << headers.err;
    EXPECT_EQ(headers.out.find("INTERP"), std::string::npos) << image;
    Result dynamic = test::sh("readelf -dW '" + image + "'");
    EXPECT_EQ(dynamic.out.find("NEEDED"), std::string::npos) << image;
    Result versions = test::sh("readelf -VW '" + image + "'");
    EXPECT_EQ(versions.out.find("GLIBC_"), std::string::npos) << image;
    // Both decoders, zlib's and zstd's, the tree's unpacker and the
    // signature's check are in the image.
    EXPECT_LE(test::read_file(image).size(), 768u * 1024) << image;
  }
}

TEST(Static, AnInstallerRunsInAChrootThatHoldsOnlyBusybox) {
  std::string skip = static_skip();
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  if (!test::exists("/bin/busybox")) GTEST_SKIP() << "no /bin/busybox (Debian busybox-static)";
  TempDir dir;
  make_tree(dir);
  test::build_archive(dir, "app.run",
                      {"-C", "App", "-f", "mkdir -p /opt/app && tar xf - -C /opt/app", "-r",
                       "cd /opt/app && sh app/setup.sh", "app.tar"});
  // The root holds busybox, its links, /tmp, /proc and the archive: no C
  // library, no loader.
  Result r = test::in_mount_namespace(
      "R=$D/root; mkdir -p $R/bin $R/tmp $R/proc $R/opt\n"
      "cp /bin/busybox $R/bin/ && for l in sh tar cat mkdir; do ln -s busybox $R/bin/$l; done\n"
      "cp $D/app.run $R/app.run && mount -t proc proc $R/proc\n"
      "chroot $R /app.run > $D/run.out 2> $D/run.err; echo $? > $D/run.status\n"
      "chroot $R /app.run -l > $D/list.out\n"
      "chroot $R /app.run --check > $D/check.out\n"
      "cp -r $R/opt/app $D/installed\n",
      [&] {
        test::RunOptions o;
        o.env["D"] = dir.path;
        return o;
      }());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_file(dir / "run.status"), "0\n") << test::read_file(dir / "run.err");
  EXPECT_EQ(test::read_file(dir / "run.err"), "\nApp\n\nPlease wait...\n");
  EXPECT_EQ(test::read_file(dir / "installed/app/bin/tool"), "one\n");
  EXPECT_EQ(test::read_file(dir / "installed/app/share/data"), "two\n");
  EXPECT_EQ(test::read_file(dir / "installed/post.out"), "post app.tar \n");
  EXPECT_NE(test::read_file(dir / "list.out").find("Extract: mkdir -p /opt/app"),
            std::string::npos);
  EXPECT_EQ(test::read_file(dir / "check.out"), "/app.run: OK\n");
}

TEST(Static, AnAarch64InstallerExtractsAndListsItselfUnderQemu) {
  std::string skip = static_skip();
  if (!skip.empty()) GTEST_SKIP() << skip;
  const char *qemu = "/usr/bin/qemu-aarch64-static";
  if (!test::exists(qemu)) GTEST_SKIP() << "no " << qemu << " (Debian qemu-user-static)";
  ASSERT_TRUE(test::exists(aarch64_bin)) << aarch64_bin << " is not built (make cross)";
  TempDir dir;
  make_tree(dir);
  std::string archive = test::build_archive(
      dir, "app.run", {"--arch=aarch64", "-f", "tar xf -", "-r", "sh app/setup.sh", "app.tar"});
  std::string image = test::read_file(aarch64_bin);
  EXPECT_EQ(test::read_file(archive).compare(0, image.size(), image), 0)
      << "--arch=aarch64 did not copy " << aarch64_bin;
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  Result run = test::run(qemu, {archive}, test::at(dir / "out"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(test::read_file(dir / "out/app/share/data"), "two\n");
  EXPECT_EQ(test::read_file(dir / "out/post.out"), "post app.tar \n");
  Result list = test::run(qemu, {archive, "-l"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("    Run: sh app/setup.sh\n"), std::string::npos) << list.out;
  Result check = test::run(qemu, {archive, "--check"});
  EXPECT_EQ(check.out, archive + ": OK\n") << check.err;
  // A zstd payload: the aarch64 extractor carries the decoder too.
  std::string z = test::build_archive(
      dir, "z.run",
      {"--arch=aarch64", "--zstd=3", "-f", "tar xf -", "-r", "sh app/setup.sh", "app.tar"});
  test::remove_tree(dir / "out");
  ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
  Result zrun = test::run(qemu, {z}, test::at(dir / "out"));
  EXPECT_EQ(zrun.status, 0) << zrun.err;
  EXPECT_EQ(test::read_file(dir / "out/app/bin/tool"), "one\n");
  EXPECT_EQ(test::read_file(dir / "out/post.out"), "post app.tar \n");
}

TEST(Static, ArchPicksTheImageBesideTheProgramOrSaysWhyNot) {
  TempDir dir;
  test::write_file(dir / "f", "data\n");
  // A copy of the program alone in a folder: its own architecture is itself,
  // the other one is missing.
  ASSERT_EQ(test::sh("cp '" + std::string(test::kapsa_bin()) + "' " + dir.path + "/kapsa").status,
            0);
  test::RunOptions o = test::at(dir.path);
  o.stdout_file = dir / "own.run";
  Result own = test::run(dir / "kapsa", {"--arch=x86_64", "f"}, o);
  EXPECT_EQ(own.status, 0) << own.err;
  std::string program = test::read_file(dir / "kapsa");
  EXPECT_EQ(test::read_file(dir / "own.run").compare(0, program.size(), program), 0);
  Result missing = test::run(dir / "kapsa", {"--arch=aarch64", "f"}, test::at(dir.path));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, dir / "kapsa" + ": no aarch64 extractor image installed (looked for " +
                             dir.path + "/../lib/kapsa/kapsa-aarch64 or " + dir.path +
                             "/kapsa-aarch64)\n");
  EXPECT_EQ(missing.out, "");
  Result unknown = test::run(dir / "kapsa", {"--arch=arm", "f"}, test::at(dir.path));
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(
      unknown.err.rfind(dir / "kapsa" + ": invalid --arch value: 'arm' (x86_64 or aarch64)\n", 0),
      0u)
      << unknown.err;
}

}  // namespace
