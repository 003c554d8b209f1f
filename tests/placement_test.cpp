// Placing the extraction directory on real filesystems: small tmpfs mounts in
// a private mount namespace, with a mount table of the test's own, and the
// real binary extracting real archives.
#include "extract/placement.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support.h"

using test::Result;
using test::TempDir;

namespace {

// Filesystems of the tests, all under T:
//   small  2 MiB, too small for the payload (4 MB needed)
//   big    16 MiB        big2  16 MiB        ro  16 MiB, mounted read-only
// The mount table lists ro (first, so that it would be tried first), small,
// big and big2.
struct Placement : testing::Test {
  void SetUp() override {
    std::string reason;
    if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
    for (const char *d : {"small", "big", "big2", "ro", "ov", "run", "src"})
      mkdir((dir / d).c_str(), 0755);
    mkdir((dir / "src/pkg").c_str(), 0755);
    test::write_file(dir / "src/pkg/data.bin", data);
    ASSERT_EQ(test::sh("tar cf pkg.tar pkg", test::at(dir / "src")).status, 0);
  }

  // Builds the archive from pkg.tar with the given options.
  std::string archive(std::vector<std::string> args, const std::string &name = "a.run") {
    args.push_back("pkg.tar");
    test::RunOptions o = test::at(dir / "src");
    o.stdout_file = dir / name;
    Result r = test::kapsa(args, o);
    EXPECT_EQ(r.status, 0) << r.err;
    chmod((dir / name).c_str(), 0755);
    return dir / name;
  }

  // Mounts the filesystems, installs the mount table (mnttab_lines, with T
  // standing for the directory), runs `commands` in T/run, and leaves the
  // namespace.  Skips the test when the mounts cannot be made.
  Result run(const std::string &commands, const std::string &mnttab_lines) {
    std::string T = dir.path;
    std::string script =
        "T='" + T +
        "'\n"
        "mount -t tmpfs -o size=2m tmpfs $T/small\n"
        "mount -t tmpfs -o size=16m tmpfs $T/big\n"
        "mount -t tmpfs -o size=16m tmpfs $T/big2\n"
        "mount -t tmpfs -o size=16m,ro tmpfs $T/ro\n"
        "mount -t tmpfs tmpfs $T/ov && mkdir $T/ov/u $T/ov/w\n"
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=$T/ov/u,workdir=$T/ov/w /etc\n"
        "cat > /etc/mnttab <<EOF\n" +
        mnttab_lines +
        "EOF\n"
        "touch $T/ready\n"
        "cd $T/run\n" +
        commands + "\n";
    Result r = test::in_mount_namespace(script);
    if (!test::exists(dir / "ready")) {
      skipped = "cannot set up the filesystems: " + r.err;
    }
    return r;
  }

  std::string table_all() {
    return "# the test's own mount table\n"
           "/dev/ro $T/ro tmpfs ro,nosuid 0\n"
           "\n"
           "/dev/small $T/small tmpfs rw 0\n"
           "  # indented comment\n"
           "/dev/big $T/big tmpfs rw,errors=remount-ro 0\n"
           "- $T/big2 tmpfs rw 0\n";
  }

  TempDir dir;
  std::string skipped;
  const std::string data = test::random_bytes(3 << 20, 11);
  const std::string banner = "\nSelf-Extracting archive file\n\nPlease wait...\n";
  // Extract command that unpacks into VFYFS/FSSUB, creating it when needed.
  std::string into(const std::string &fs) {
    return "mkdir -p " + fs + "/app && tar xf - -C " + fs + "/app";
  }
  // An archive for filesystem fs and subdirectory app that unpacks there.
  std::string archive_onto(const std::string &fs, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"-V", fs, "-S", "app", "-f", into(fs)};
    args.insert(args.end(), more.begin(), more.end());
    return archive(args);
  }
  // What an extraction says when the named filesystem fs has no room for
  // app and it starts looking elsewhere.
  static std::string no_room(const std::string &fs) {
    return fs + "/app: not enough space. Looking for space in other filesystems.\n";
  }
  // A run that placed the data ("placed" is its command's last word) and
  // said err on its way.
  static void expect_placed(const Result &r, const std::string &err) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "placed\n");
    EXPECT_EQ(r.err, err);
  }
};

#define SKIP_IF_NO_MOUNTS() \
  if (!skipped.empty()) GTEST_SKIP() << skipped

TEST_F(Placement, ANamedFilesystemWithRoomIsUsedInPlace) {
  std::string fs = dir / "big";
  std::string a = archive_onto(fs);
  Result r = run("\"" + a + "\"; ls -l $T/big > $T/listing", table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, banner);
  std::string listing = test::read_file(dir / "listing");
  EXPECT_EQ(listing.find("->"), std::string::npos) << listing;
}

TEST_F(Placement, ATooSmallFilesystemSendsTheDataToAWritableMountWithRoom) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs, {"-r", "readlink " + fs + "/app > ../link"});
  // A mount point written with a slash at its end (as the root's is) joins
  // the subdirectory with one slash.
  for (const char *end : {"", "/"}) {
    std::string table =
        "/dev/ro $T/ro tmpfs ro 0\n/dev/small $T/small tmpfs rw 0\n"
        "/dev/big $T/big" +
        std::string(end) + " tmpfs rw 0\n";
    Result r =
        run("\"" + a +
                "\" && cmp $T/big/app/pkg/data.bin $T/src/pkg/data.bin && test ! -e $T/small/app"
                " && echo placed",
            table);
    SKIP_IF_NO_MOUNTS();
    expect_placed(r, no_room(fs) + "Trying " + dir / "big" + end + " ...\n" + banner);
    EXPECT_EQ(test::read_file(dir / "link"), dir / "big/app\n");  // the link existed meanwhile
  }
}

TEST_F(Placement, NoRoomAnywhereGivesUpWithAdvice) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs, {"-r", "touch ../ran"});
  Result r =
      run("\"" + a + "\"", "/dev/ro " + dir / "ro tmpfs ro 0\n/dev/small " + fs + " tmpfs rw 0\n");
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, no_room(fs) + fs +
                       "/app: not enough space to extract the archive.\n"
                       "Please make at least 4Mb available in " +
                       fs +
                       ".\n"
                       "Alternatively, you can make space available on another filesystem where a\n"
                       "\"app\" directory can be created. Ensure that the \"app\" directory\n"
                       "does not exist before trying again.\n");
  EXPECT_FALSE(test::exists(dir / "ran"));
}

TEST_F(Placement, ATempPathWithRoomIsTakenEvenWhenTheNamedOneHasRoom) {
  std::string fs = dir / "big";
  std::string a = archive_onto(fs);
  Result r = run("\"" + a +
                     "\" -t $T/big2/ && cmp $T/big2/app/pkg/data.bin $T/src/pkg/data.bin"
                     " && test ! -e $T/big/app && echo placed",
                 table_all());
  SKIP_IF_NO_MOUNTS();
  expect_placed(r, banner);
}

TEST_F(Placement, ATempPathWithoutRoomDoesNotSearchTheMountTable) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  Result r = run("\"" + a + "\" -t $T/small", table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("Trying"), std::string::npos);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
            dir / "small/app: not enough space to extract the archive.\n");
}

TEST_F(Placement, ExistingDirectoriesAreNeverReplaced) {
  std::string fs = dir / "big";
  std::string a = archive_onto(fs);
  // The extraction directory itself; then, with -t, the link name.
  Result r =
      run("mkdir $T/big/app && touch $T/big/app/keep && \"" + a +
              "\" || "
              "\"" +
              a + "\" -t $T/big2 || test -f $T/big/app/keep && test ! -e $T/big2/app && echo kept",
          table_all());
  SKIP_IF_NO_MOUNTS();
  std::string refused =
      fs + "/app: extraction directory exists!\nPlease remove it first then try again.\n";
  EXPECT_EQ(r.err, refused + refused);
  EXPECT_EQ(r.out, "kept\n");
}

TEST_F(Placement, AStaleLinkIsReplacedAndACandidateThatExistsIsSkipped) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  Result r = run("ln -s /nonexistent $T/small/app && mkdir $T/big/app && \"" + a +
                     "\" &&"
                     " cmp $T/big2/app/pkg/data.bin $T/src/pkg/data.bin && test ! -e $T/small/app "
                     "&& echo placed",
                 table_all());
  SKIP_IF_NO_MOUNTS();
  expect_placed(r, no_room(fs) + "Trying " + dir / "big ...\n" +
                       dir / "big/app: already exists.\nTrying " + dir / "big2 ...\n" + banner);
}

TEST_F(Placement, VerboseAsksBeforeEachLink) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  Result r = run("printf 'no\\n\\n' | \"" + a + "\" -v && test -d $T/big2/app/pkg && echo placed",
                 table_all());
  SKIP_IF_NO_MOUNTS();
  expect_placed(r, no_room(fs) + "Trying " +
                       dir /
                           "big ...\n"
                           "Creating temporary link to " +
                       dir /
                           "big/app\n"
                           "OK to create temporary link? [y]: "
                           "Trying " +
                       dir /
                           "big2 ...\n"
                           "Creating temporary link to " +
                       dir /
                           "big2/app\n"
                           "OK to create temporary link? [y]: " +
                       banner + "Deflating pkg.tar...\n");
}

TEST_F(Placement, AFatalErrorAfterTheLinkWasMadeRemovesTheLink) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  std::string bytes = test::read_file(a);
  bytes[bytes.size() - 100000] ^= 0x55;  // inside the deflate data
  test::write_file(a, bytes, 0755);
  Result r = run("\"" + a + "\" || test ! -e $T/small/app && test ! -L $T/small/app && echo gone",
                 table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.out, "gone\n");
  EXPECT_NE(r.err.find("invalid compressed data"), std::string::npos) << r.err;
}

TEST_F(Placement, AnExtractCommandWritingIntoAFullOrReadOnlyPlaceFailsTheRun) {
  for (const char *place : {"small", "ro"}) {
    std::string a = archive({"-f", "cat > " + dir / place + "/data", "-r", "touch ../ran"});
    Result r = run("\"" + a + "\"", table_all());
    SKIP_IF_NO_MOUNTS();
    EXPECT_EQ(r.status, 1) << place;
    // The command dies with the payload only half sent: its failure is
    // reported, not the broken pipe that the next write finds.
    std::string end = a + ": extraction command failed: cat > " + dir / place + "/data\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), end.size())), end) << r.err;
    EXPECT_FALSE(test::exists(dir / "ran")) << place;
  }
}

TEST_F(Placement, CandidatesWhoseDirectoryOrLinkCannotBeMadeAreSkipped) {
  // A mount point that is a file: its directory cannot be made.  Then a link
  // whose parent does not exist: every candidate fails to link, and the
  // directories made for them are removed again.
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  Result r = run("touch $T/run/file && \"" + a + "\" || true",
                 "/dev/file " + dir / "run/file ext4 rw 0\n/dev/big " + dir / "big tmpfs rw 0\n");
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.err, no_room(fs) + "Trying " + dir / "run/file ...\n" +
                       dir /
                           "run/file/app: Not a directory\n"
                           "Trying " +
                       dir / "big ...\n" + banner);

  std::string gone = dir / "gone";
  std::string b = archive({"-V", gone, "-S", "app", "-f", "cat > /dev/null"}, "b.run");
  r = run(
      "\"" + b + "\" -t $T/big2 || test ! -e $T/big2/app && test ! -e $T/big/app && echo removed",
      "/dev/big " + dir / "big tmpfs rw 0\n");
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.out, "removed\n");
  EXPECT_EQ(r.err, dir / "big2/app: No such file or directory\n"
                         "Trying " +
                       dir / "big ...\n" + dir / "big/app: No such file or directory\n" +
                       dir /
                           "big2/app: not enough space to extract the archive.\n"
                           "Please make at least 4Mb available in " +
                       gone +
                       ".\n"
                       "Alternatively, you can make space available on another filesystem where a\n"
                       "\"app\" directory can be created. Ensure that the \"app\" directory\n"
                       "does not exist before trying again.\n");
}

// A user who may not make the link at the named filesystem is told so,
// not that there is no room; nothing is made.
TEST(PlacementAsUser, NoPermissionForTheLinkIsSaidAsSuch) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the archive as nobody";
  TempDir dir;
  chmod(dir.path.c_str(), 0755);
  mkdir((dir / "opt").c_str(), 0755);
  mkdir((dir / "home").c_str(), 0755);
  ASSERT_EQ(chown((dir / "home").c_str(), 65534, 65534), 0);
  test::write_file(dir / "data", "data\n");
  std::string a = test::build_archive(
      dir, "a.run", {"-V", dir / "opt", "-S", "app", "-f", "cat > /dev/null", "data"});
  Result r =
      test::sh("setpriv --reuid=65534 --regid=65534 --clear-groups '" + a + "' -t " + dir / "home",
               test::at(dir / "home"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir / "opt/app: cannot make the link to the data here: Permission denied\n");
  EXPECT_FALSE(test::exists(dir / "home/app"));
}

TEST_F(Placement, AnEmptyFilesystemValueFailsWithoutAWord) {
  std::string a = archive({"-V", "", "-S", "app"});
  Result r = run("\"" + a + "\"", table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
}

TEST_F(Placement, NothingButADanglingLinkAtTheLinkNameIsEverRemoved) {
  // What stands at the link name, and the run: with -t (with and without a
  // subdirectory) and with the search of the mounted filesystems.
  struct Case {
    std::string setup, link_name, options;
    bool with_subdirectory;
  } cases[] = {
      {"ln -s $T/keep $T/small/app", dir / "small/app", "-t $T/big2", true},
      {"ln -s $T/keep $T/opt", dir / "opt", "-t $T/big2", false},
      {"touch $T/small/app", dir / "small/app", "-t $T/big2", true},
      {"ln -s $T/keep $T/small/app", dir / "small/app", "", true},
  };
  for (const Case &c : cases) {
    std::string fs = c.with_subdirectory ? dir / "small" : dir / "opt";
    std::vector<std::string> args = {"-V", fs, "-f", "cat > /dev/null"};
    if (c.with_subdirectory) args.insert(args.end(), {"-S", "app"});
    std::string a = archive(args);
    Result r =
        run("set +e; mkdir -p $T/keep && " + c.setup + " && ls -ld " + c.link_name +
                " > $T/before; \"" + a + "\" " + c.options + "; echo $? > $T/status; ls -ld " +
                c.link_name + " > $T/after; ls -A $T/big2 > $T/made",
            table_all());
    SKIP_IF_NO_MOUNTS();
    EXPECT_EQ(test::read_file(dir / "status"), "1\n") << c.setup;
    EXPECT_EQ(r.err, c.link_name +
                         ": extraction directory exists!\nPlease remove it first then try again.\n")
        << c.setup;
    EXPECT_EQ(test::read_file(dir / "after"), test::read_file(dir / "before")) << c.setup;
    EXPECT_EQ(test::read_file(dir / "made"), "") << c.setup << ": nothing was created";
    test::remove_tree(dir / "opt");
    unlink((dir / "small/app").c_str());
  }
}

TEST_F(Placement, TwoRunsAtOnceEndWithTheDataOnceAndNoLink) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  Result r = run("set +e; (\"" + a + "\" 2> $T/e1; echo $? > $T/s1) & (\"" + a +
                     "\" 2> $T/e2; echo $? > $T/s2) & wait; cat $T/s1 $T/s2 | sort | tr '\\n' ' ';"
                     " cmp $T/big/app/pkg/data.bin $T/src/pkg/data.bin && test ! -e $T/small/app &&"
                     " test ! -L $T/small/app && echo placed once",
                 "/dev/small " + fs + " tmpfs rw 0\n/dev/big " + dir / "big tmpfs rw 0\n");
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.out, "0 1 placed once\n")
      << test::read_file(dir / "e1") << test::read_file(dir / "e2");
}

TEST_F(Placement, ALinkThatThePostInstallCommandReplacedIsKept) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs, {"-r", "ln -sfn " + dir / "big/app " + fs + "/app"});
  Result r = run("\"" + a + "\" && readlink $T/small/app", table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir / "big/app\n");
}

TEST_F(Placement, TempPathsAreTakenFromTheCurrentDirectoryAndFailuresSayWhy) {
  std::string fs = dir / "small";
  std::string a = archive_onto(fs);
  std::string deep = dir / std::string(260, 'd');
  struct Case {
    std::string temp, placed, first_line;
  } cases[] = {
      {"../big2", "big2", ""},
      {"file/sub", "big", dir / "run/file/sub/app: Not a directory\n"},
      {deep, "big", deep + "/app: File name too long\n"},
  };
  for (const Case &c : cases) {
    Result r = run("touch file; \"" + a + "\" -t " + c.temp + " && cmp $T/" + c.placed +
                       "/app/pkg/data.bin $T/src/pkg/data.bin && test ! -e $T/small/app && echo ok;"
                       " rm -rf $T/big/app $T/big2/app",
                   table_all());
    SKIP_IF_NO_MOUNTS();
    EXPECT_EQ(r.out, "ok\n") << c.temp << ": " << r.err;
    EXPECT_EQ(r.err.substr(0, c.first_line.size()), c.first_line) << c.temp;
  }
}

TEST_F(Placement, RootNeverPlacesDataWhereAnotherUserCanSteerIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  // Mount points open to others, and a directory on the way owned by another
  // user, are passed over; a symbolic link on the way is never followed.
  std::string fs = dir / "small";
  std::string a = archive({"-V", fs, "-S", "opt/app", "-f",
                           "mkdir -p " + fs + "/opt/app && tar xf - -C " + fs + "/opt/app"});
  std::string table = "/dev/small " + fs + " tmpfs rw 0\n/dev/ww " + dir / "ww tmpfs rw 0\n" +
                      "/dev/theirs " + dir / "theirs tmpfs rw 0\n/dev/big " +
                      dir / "big tmpfs rw 0\n" + "/dev/big2 " + dir / "big2 tmpfs rw 0\n";
  Result r =
      run("mkdir -p $T/ww $T/theirs $T/elsewhere $T/small/opt\n"
          "mount -t tmpfs -o size=16m,mode=0777 tmpfs $T/ww\n"
          "mount -t tmpfs -o size=16m tmpfs $T/theirs && mkdir $T/theirs/opt && chown 1000 "
          "$T/theirs/opt\n"
          "ln -s $T/elsewhere $T/big/opt\n"
          "\"" +
              a +
              "\" -t $T/big && test -f $T/big2/opt/app/pkg/data.bin && test -z \"$(ls -A "
              "$T/elsewhere)\" && echo placed",
          table);
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.out, "placed\n") << r.err;
  EXPECT_EQ(r.err, dir / "big/opt/app: Not a directory\nTrying " + dir / "big2 ...\n" + banner);
}

TEST_F(Placement, ThePostInstallCommandSeesWhereTheDataReallyIs) {
  struct Case {
    std::vector<std::string> args;
    std::string where;
  } cases[] = {
      {{"-V", dir / "small", "-S", "app", "-f", into(dir / "small")}, dir / "big/app"},  // a link
      {{"-V", "../big", "-S", "app", "-f", into("../big")}, dir / "run/../big/app"},     // in place
      {{"-f", "tar xf -"}, dir / "run"},  // no filesystem named
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-r", "echo \"$KAPSA_DIR\" > $T/where"});
    std::string a = archive(args);
    Result r = run("T=" + dir.path + " \"" + a + "\" && test -f \"$(cat $T/where)/pkg/data.bin\"" +
                       " && rm -rf $T/big/app $T/run/pkg && echo seen",
                   table_all());
    SKIP_IF_NO_MOUNTS();
    EXPECT_EQ(r.out, "seen\n") << c.where << r.err;
    EXPECT_EQ(test::read_file(dir / "where"), c.where + "\n");
  }
}

TEST_F(Placement, SlowAnInputPast4GiBCarriesItsTrueSizeForTheListingAndTheSpaceCheck) {
  // A sparse file reads as zeros without touching the disk.
  const long long size = (1LL << 32) + (1 << 20);
  std::string big = dir / "src/big";
  ASSERT_EQ(truncate((test::write_file(big, ""), big.c_str()), size), 0);
  test::RunOptions o = test::at(dir / "src");
  o.stdout_file = dir / "big.run";
  Result built = test::kapsa({"-V", dir / "small", "big"}, o);
  ASSERT_EQ(built.status, 0) << built.err;
  unlink(big.c_str());
  chmod((dir / "big.run").c_str(), 0755);
  std::string bytes = test::read_file(dir / "big.run");
  EXPECT_NE(bytes.find("VFYFS=" + dir / "small,NAME=big,SIZE=4296015872" + '\0'),
            std::string::npos);
  Result listed = test::kapsa({"-l", dir / "big.run"});
  std::string line = listed.out.substr(listed.out.rfind('\n', listed.out.size() - 2) + 1);
  EXPECT_EQ(line.substr(10), "4296015872  99.9% big\n") << listed.out;
  // 4096 MiB + 1 MiB of data: 4098 megabytes asked, where the trailer's
  // size modulo 2^32 would ask for 2 (and find them).
  Result r = run("\"" + dir / "big.run\"", table_all());
  SKIP_IF_NO_MOUNTS();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, dir / "small: not enough space to extract the archive.\n"
                         "Please make at least 4098Mb available in " +
                       dir / "small.\n");
}

TEST(MakeDirs, CreatesEveryMissingComponentWithItsMode) {
  TempDir dir;
  mode_t old = umask(077);
  bool created = false;
  EXPECT_EQ(kapsa::make_dirs((dir / "a/b/c/").c_str(), 0755, &created), 0);
  umask(old);
  EXPECT_TRUE(created);
  struct stat st;
  ASSERT_EQ(stat((dir / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(kapsa::make_dirs((dir / "a/b/c").c_str(), 0755, &created), 0);
  EXPECT_FALSE(created);
  EXPECT_EQ(kapsa::make_dirs("relative/path", 0755), -1);
  EXPECT_EQ(errno, EINVAL);
  test::write_file(dir / "file", "x");
  EXPECT_EQ(kapsa::make_dirs((dir / "file/sub").c_str(), 0755), -1);
  EXPECT_EQ(errno, ENOTDIR);
  std::string long_path = dir.path + "/" + std::string(300, 'x');
  EXPECT_EQ(kapsa::make_dirs(long_path.c_str(), 0755), -1);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

}  // namespace
