// Signed installers and licences, end to end: archives built with keys that
// minisign made, checked by kapsa and by minisign, changed a byte at a time,
// and run with and without a terminal to accept their licence.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support.h"

using test::Result;
using test::TempDir;

namespace {

using test::minisign;
const std::string epoch = "1700000000";
const std::string licence = "Licence text\nline two\n";

std::string le64(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; i++, value >>= 8) out += char(value & 0xff);
  return out;
}

uint64_t load_le64(const std::string &bytes, size_t at) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; i--) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

const test::MinisignKeys &keys() { return test::minisign_keys(); }

// Builds an archive with kapsa in dir, at a fixed time; fails the test when
// the build does not exit 0.
std::string build(const TempDir &dir, const std::string &name,
                  const std::vector<std::string> &args) {
  test::RunOptions o = test::at(dir.path);
  o.stdout_file = dir / name;
  o.env["SOURCE_DATE_EPOCH"] = epoch;
  Result r = test::kapsa(args, o);
  EXPECT_EQ(r.status, 0) << r.err;
  chmod((dir / name).c_str(), 0755);
  return dir / name;
}

// What the trusted comment of an archive of first input name says, escaped.
std::string trusted(const std::string &name) {
  return "    trusted comment: timestamp:" + epoch + "\\tfile:" + name + "\\thashed\n";
}

// An installer that places its data: VFYFS=dir/fs, FSSUB=app, run with -t
// dir/tmp, so that the data lands in dir/tmp/app behind the link dir/fs/app,
// and a post-install that leaves dir/ran.
struct Installer {
  Installer() {
    for (const char *d : {"fs", "tmp"}) mkdir((dir / d).c_str(), 0755);
    test::write_file(dir / "f", "the data\n");
    test::write_file(dir / "L", licence);
  }
  std::vector<std::string> args(std::vector<std::string> more) const {
    std::vector<std::string> all = {"-C", "Signed app",
                                    "-V", dir / "fs",
                                    "-S", "app",
                                    "-f", "cat > " + dir / "fs/app/data",
                                    "-r", "touch " + dir / "ran"};
    all.insert(all.end(), more.begin(), more.end());
    all.push_back("f");
    return all;
  }
  // What the runs made: the placed data, the link, the post-install's mark.
  std::string made() const {
    Result r =
        test::sh("find fs tmp -mindepth 1 | sort; test ! -e ran || echo ran", test::at(dir.path));
    return r.out;
  }
  void clean() const { test::sh("rm -rf tmp/app fs/app ran", test::at(dir.path)); }
  TempDir dir;
  const std::string banner = "\nSigned app\n\nPlease wait...\n";
  const std::string installed = "tmp/app\ntmp/app/data\nran\n";
};

TEST(SignedArchive, BuildsWithMinisignKeysAndListsItsSignatureAndLicence) {
  TempDir dir;
  test::write_file(dir / "f", "hello\n");
  test::write_file(dir / "L", licence);
  // The unprotected key signs without a word; the protected one asks its
  // password on the terminal, whatever standard output is.
  build(dir, "w.run", {"--sign=" + keys().path("w.key"), "--license=L", "f"});
  std::string kapsa = test::kapsa_bin();
  Result typed = test::run_on_terminal(
      "/bin/sh", {"-c", kapsa + " --sign=" + keys().path("k.key") + " --license=L f > k.run"},
      "pw\n", dir.path);
  EXPECT_EQ(typed.status, 0) << typed.out;
  EXPECT_EQ(typed.out, "Password: \n");
  for (const char *key : {"w", "k"}) {
    std::string archive = std::string(key) + ".run";
    Result list = test::kapsa({"-l", archive}, test::at(dir.path));
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out.substr(0, list.out.find("compressed")),
              "Feature: NAME=f,LICENSE=22,SIGNED\n"
              "Comment: Self-Extracting archive file\n"
              "    Run: \n"
              "Extract: cat > %p/%o\n"
              " Signed: by key " +
                  keys().id(key) +
                  "\n"
                  "License: 22 bytes (--license shows it)\n")
        << key;
    Result check =
        test::kapsa({"--check", "--key=" + keys().path(std::string(key) + ".pub"), archive},
                    test::at(dir.path));
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out.substr(0, check.out.find('\n') + 1),
              archive + ": signed by " + keys().id(key) + ": OK\n");
  }
}

TEST(SignedArchive, CheckWithKeysSaysWhoSignedIt) {
  TempDir dir;
  test::write_file(dir / "f", "hello\n");
  build(dir, "a.run", {"--sign=" + keys().path("w.key"), "f"});
  build(dir, "u.run", {"f"});
  std::string w = keys().path("w.pub"), o = keys().path("o.pub");
  std::string ok = "a.run: signed by " + keys().id("w") + ": OK\n" + trusted("f");
  struct Case {
    std::string what, archive;
    std::vector<std::string> keys;
    int status;
    std::string out, err;
  } cases[] = {
      {"its key, a file", "a.run", {w}, 0, ok, ""},
      {"its key, as text", "a.run", {keys().text("w")}, 0, ok, ""},
      {"another key, then its key", "a.run", {o, w}, 0, ok, ""},
      {"another key",
       "a.run",
       {o},
       1,
       "",
       "a.run: signed by another key (" + keys().id("w") + ")\n"},
      {"an unsigned archive", "u.run", {w}, 1, "", "u.run: not signed\n"},
      {"no key: whole", "a.run", {}, 0, "a.run: OK\n", ""},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--check"};
    for (const std::string &key : c.keys) args.push_back("--key=" + key);
    args.push_back(c.archive);
    Result r = test::kapsa(args, test::at(dir.path));
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
}

// One changed byte anywhere in what was signed, or a block that is not the
// archive's own, stops the archive before it makes or starts anything.
TEST(SignedArchive, NoChangedArchiveRunsAndNothingIsMade) {
  Installer in;
  const TempDir &dir = in.dir;
  std::string good = test::read_file(
      build(dir, "good.run", in.args({"--sign=" + keys().path("w.key"), "--license=L"})));
  // Another archive of the same length, signed by the same key: its comment
  // differs in one letter.
  std::vector<std::string> other_args = in.args({"--sign=" + keys().path("w.key"), "--license=L"});
  other_args[1] = "Signed apq";
  std::string other = test::read_file(build(dir, "other.run", other_args));
  std::string unsigned_archive =
      test::read_file(build(dir, "unsigned.run", in.args({"--license=L"})));
  ASSERT_EQ(other.size(), good.size());
  size_t image = test::read_file(test::kapsa_bin()).size();
  size_t end = good.size(), footer = end - 24, block = size_t(load_le64(good, footer));
  size_t version = good.find("5/17/2001"), comment = good.find("Signed app", image),
         text = good.find(licence, image), payload = text + licence.size();
  ASSERT_LT(version, image);
  ASSERT_LT(payload, block);
  auto flipped = [&](size_t at) { return std::string(good).replace(at, 1, 1, char(good[at] ^ 1)); };
  std::string w = "--key=" + keys().path("w.pub"), o = "--key=" + keys().path("o.pub");
  std::string a = dir / "a.run", id = keys().id("w");
  // The id's first byte is its text's last two digits: its low bit flipped.
  std::string changed_id = id;
  changed_id.back() = "0123456789ABCDEF"[std::stoi(id.substr(id.size() - 1), nullptr, 16) ^ 1];
  const std::string changed =
      a + ": signature does not match: the archive was changed after it was signed\n";
  struct Case {
    std::string what, archive, key, err;
  } cases[] = {
      {"nothing", good, w, ""},
      {"the image", flipped(version + 8), "", changed},
      {"the preamble", flipped(comment + 3), "", changed},
      {"the licence", flipped(text + 1), "", changed},
      {"the payload", flipped(payload + (block - payload) / 2), "", changed},
      {"the last signed byte", flipped(block - 1), w, changed},
      {"the signature", flipped(block + 50 + 9), "", changed},
      {"the key id", flipped(block + 10), w, a + ": signed by another key (" + changed_id + ")\n"},
      {"the public key", flipped(block + 18 + 3), w, a + ": signed by another key (" + id + ")\n"},
      {"the trusted comment", flipped(block + 116 + 10), "",
       a + ": signature block damaged: the trusted comment does not match\n"},
      {"the global signature", flipped(footer - 1), w,
       a + ": signature block damaged: the trusted comment does not match\n"},
      {"the footer's offset", std::string(good).replace(footer, 8, le64(block - 1)), "",
       a + ": signature block damaged: footer does not follow the block\n"},
      {"the footer's length", std::string(good).replace(footer + 8, 8, le64(1 << 20)), "",
       a + ": signature block damaged: footer points outside the file\n"},
      {"the footer's magic", flipped(end - 1), "", a + ": signature footer damaged\n"},
      {"block and footer cut off", good.substr(0, block), "",
       a + ": signature block missing: the archive was cut or changed after it was signed\n"},
      {"cut inside the block", good.substr(0, block + 100), "",
       a + ": signature block damaged: cut inside the signature block\n"},
      {"cut inside the footer", good.substr(0, end - 1), w,
       a + ": signature block damaged: cut inside the signature block\n"},
      {"bytes after the footer", good + "\n", "",
       a + ": signature block damaged: data after the signature block\n"},
      {"another archive's block", good.substr(0, block) + other.substr(block), w, changed},
      {"an unsigned archive given a key", unsigned_archive, w, a + ": not signed\n"},
      {"another key", good, o, a + ": signed by another key (" + id + ")\n"},
  };
  for (const Case &c : cases) {
    test::write_file(a, c.archive, 0755);
    std::vector<std::string> args = {"--accept", "-t", dir / "tmp"};
    if (!c.key.empty()) args.push_back(c.key);
    Result r = test::run(a, args, test::at(dir.path));
    bool whole = c.err.empty();
    EXPECT_EQ(r.status, whole ? 0 : 1) << c.what;
    EXPECT_EQ(r.err, whole ? in.banner : c.err) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(in.made(), whole ? in.installed : "") << c.what;
    in.clean();
  }
}

// What minisign checks: the .minisig kapsa prints, against the bytes before
// the block, which the footer's first field counts.
TEST(SignedArchive, MinisignChecksTheSignedBytesOfEveryKind) {
  TempDir dir;
  test::write_file(dir / "f", test::text_bytes(200000, 3));
  ASSERT_EQ(test::sh("mkdir -p tree/sub && echo one > tree/sub/a && echo two > tree/b",
                     test::at(dir.path))
                .status,
            0);
  std::string sign = "--sign=" + keys().path("w.key");
  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string name;
  } cases[] = {
      {"raw", {sign, "-a", "f"}, "f"},
      {"gzip", {sign, "f"}, "f"},
      {"zstd", {sign, "--zstd=1", "f"}, "f"},
      {"tree", {sign, "tree"}, "tree"},
  };
  for (const Case &c : cases) {
    build(dir, "a.run", c.args);
    test::RunOptions o = test::at(dir.path);
    o.stdout_file = dir / "a.minisig";
    Result printed = test::kapsa({"--minisig", "a.run"}, o);
    EXPECT_EQ(printed.status, 0) << c.what << printed.err;
    std::string sig = test::read_file(dir / "a.minisig");
    EXPECT_EQ(sig.substr(0, sig.find('\n') + 1),
              "untrusted comment: kapsa archive signature, key ID " + keys().id("w") + "\n")
        << c.what;
    Result cut = test::sh("head -c \"$(tail -c 24 a.run | od -An -tu8 -N8)\" a.run > signed",
                          test::at(dir.path));
    EXPECT_EQ(cut.status, 0) << cut.err;
    Result v =
        test::run(minisign, {"-V", "-x", "a.minisig", "-m", "signed", "-p", keys().path("w.pub")},
                  test::at(dir.path));
    EXPECT_EQ(v.status, 0) << c.what << v.err;
    EXPECT_EQ(v.out, "Signature and comment signature verified\nTrusted comment: timestamp:" +
                         epoch + "\tfile:" + c.name + "\thashed\n")
        << c.what;
    Result check =
        test::kapsa({"--check", "--key=" + keys().path("w.pub"), "a.run"}, test::at(dir.path));
    EXPECT_EQ(check.status, 0) << c.what << check.err;
  }
  build(dir, "u.run", {"f"});
  Result none = test::kapsa({"--minisig", "u.run"}, test::at(dir.path));
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "u.run: not signed\n");
}

// The licence on a terminal: shown (through $PAGER when it is set), and
// accepted only by "y" or "yes".
TEST(License, IsAcceptedOnTheTerminalOrNothingIsInstalled) {
  Installer in;
  const TempDir &dir = in.dir;
  std::string a = build(dir, "a.run", in.args({"--sign=" + keys().path("w.key"), "--license=L"}));
  test::write_file(
      dir / "pager",
      "#!/bin/sh\necho \"paged $#\" > " + dir / "paged" + "\ncat >> " + dir / "paged" + "\n", 0755);
  const std::string asked = "Do you accept the licence? [y/N] ";
  const std::string refused = a + ": the licence was not accepted: nothing was installed\n";
  struct Case {
    std::string what, typed, pager;
    bool data_out;  // -x, its standard output a file
    std::string shown, made;
  } cases[] = {
      {"y", "y\n", "", false, licence + asked + in.banner, in.installed},
      {"yes", "yes\n", "", false, licence + asked + in.banner, in.installed},
      {"n", "n\n", "", false, licence + asked + refused, ""},
      {"an empty line", "\n", "", false, licence + asked + refused, ""},
      {"end of input", "\x04", "", false, licence + asked + "\n" + refused, ""},
      {"through the pager", "y\n", dir / "pager", false, asked + in.banner, in.installed},
      {"-x, yes", "y\n", "", true, licence + asked + in.banner + "Deflating f...\n", ""},
      {"-x, no", "n\n", "", true, licence + asked + refused, ""},
  };
  for (const Case &c : cases) {
    std::string run = "exec /usr/bin/env " +
                      (c.pager.empty() ? std::string("-u PAGER") : "PAGER=" + c.pager) + " " + a +
                      " -t " + dir / "tmp" + (c.data_out ? " -x > data" : "");
    Result r = test::run_on_terminal("/bin/sh", {"-c", run}, c.typed, dir.path);
    EXPECT_EQ(r.out, c.shown) << c.what;
    bool accepted = c.shown.find(refused) == std::string::npos;
    EXPECT_EQ(r.status, accepted ? 0 : 1) << c.what;
    EXPECT_EQ(in.made(), c.made) << c.what;
    if (c.data_out) {
      EXPECT_EQ(test::read_file(dir / "data"), accepted ? "the data\n" : "") << c.what;
    }
    EXPECT_EQ(test::read_file(dir / "paged"), c.pager.empty() ? "" : "paged 0\n" + licence)
        << c.what;
    in.clean();
    unlink((dir / "paged").c_str());
    unlink((dir / "data").c_str());
  }
}

// Without a terminal the licence is accepted by --accept alone; --license
// reads it.
TEST(License, WithoutATerminalOnlyAcceptInstalls) {
  Installer in;
  const TempDir &dir = in.dir;
  std::string a = build(dir, "a.run", in.args({"--sign=" + keys().path("w.key"), "--license=L"}));
  std::string plain = build(dir, "plain.run", in.args({}));
  std::string tmp = dir / "tmp";
  struct Case {
    std::string what, archive;
    std::vector<std::string> args;
    std::string input;  // through a pipe
    int status;
    std::string out, err, made;
  } cases[] = {
      {"no answer",
       a,
       {"-t", tmp},
       "",
       1,
       "",
       a + ": this archive has a licence: read it with --license and pass --accept to accept it\n",
       ""},
      {"a yes on a pipe",
       a,
       {"-t", tmp},
       "y\n",
       1,
       "",
       a + ": this archive has a licence: read it with --license and pass --accept to accept it\n",
       ""},
      {"--accept", a, {"--accept", "-t", tmp}, "", 0, "", in.banner, in.installed},
      {"--license", a, {"--license"}, "", 0, licence, "", ""},
      {"-x --accept",
       a,
       {"-x", "--accept"},
       "",
       0,
       "the data\n",
       in.banner + "Deflating f...\n",
       ""},
      {"--license, none",
       plain,
       {"--license"},
       "",
       1,
       "",
       plain + ": this archive has no licence\n",
       ""},
  };
  for (const Case &c : cases) {
    test::RunOptions o = test::at(dir.path);
    o.input = c.input;
    o.input_devnull = c.input.empty();
    o.unset_env = {"PAGER"};
    Result r = test::run(c.archive, c.args, o);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(in.made(), c.made) << c.what;
    in.clean();
  }
}

// A licence is UTF-8 text of at most 1 MiB without control characters but
// newline and tab; anything else is refused before a byte is written.
TEST(License, BuildTakesOnlyTextThatShowsAsItIs) {
  TempDir dir;
  test::write_file(dir / "f", "hello\n");
  const std::string too_long = "L: a licence is a file of at most 1048576 bytes\n";
  auto not_text = [](size_t at) {
    return "L: a licence is UTF-8 text without control characters (byte " + std::to_string(at) +
           ")\n";
  };
  std::string mib(1 << 20, 'x');
  for (size_t at = 80; at < mib.size(); at += 81) mib[at] = '\n';
  mib.back() = '\n';
  struct Case {
    std::string what, text, err;
  } cases[] = {
      {"1 MiB", mib, ""},
      {"tabs and UTF-8", "Lizenz\t\xc3\xa4\xe2\x82\xac\xf0\x9f\x93\x9c\n", ""},
      {"a byte more than 1 MiB", mib + "x", too_long},
      {"a carriage return", "one\r\ntwo\n", not_text(3)},
      {"an escape", "red \x1b[31m\n", not_text(4)},
      {"a NUL", std::string("a\0b", 3), not_text(1)},
      {"DEL", "a\x7f\n", not_text(1)},
      {"a C1 control (CSI)",
       "ab\xc2\x9b"
       "31m\n",
       not_text(2)},
      {"a lone continuation byte", "ab\x80\n", not_text(2)},
      {"a cut character", "ab\xe2\x82", not_text(2)},
      {"an overlong encoding", "ab\xe0\x80\xaf\n", not_text(2)},
      {"a surrogate", "ab\xed\xa0\x80\n", not_text(2)},
      {"past U+10FFFF", "ab\xf4\x90\x80\x80\n", not_text(2)},
  };
  for (const Case &c : cases) {
    test::write_file(dir / "L", c.text);
    test::RunOptions o = test::at(dir.path);
    o.stdout_file = dir / "a.run";
    Result r = test::kapsa({"--sign=" + keys().path("w.key"), "--license=L", "f"}, o);
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << c.what;
    if (!c.err.empty()) {
      EXPECT_EQ(test::read_file(dir / "a.run").size(), 0u) << c.what;
      continue;
    }
    chmod((dir / "a.run").c_str(), 0755);
    Result shown = test::run(dir / "a.run", {"--license"});
    EXPECT_EQ(shown.status, 0) << c.what;
    EXPECT_EQ(shown.out, c.text) << c.what;
    Result list = test::kapsa({"-l", "a.run"}, test::at(dir.path));
    EXPECT_NE(list.out.find("License: " + std::to_string(c.text.size()) +
                            " bytes (--license shows it)\n"),
              std::string::npos)
        << c.what;
  }
}

using test::static_skip;

// A signed installer with a licence, a placement and a post-install, where
// only busybox is.
TEST(SignedStatic, InstallsInAChrootThatHoldsOnlyBusybox) {
  std::string skip = static_skip();
  if (!skip.empty()) GTEST_SKIP() << skip;
  std::string reason;
  if (!test::can_mount(&reason)) GTEST_SKIP() << reason;
  if (!test::exists("/bin/busybox")) GTEST_SKIP() << "no /bin/busybox (Debian busybox-static)";
  TempDir dir;
  test::write_file(dir / "f", "the data\n");
  test::write_file(dir / "L", licence);
  std::string good = test::read_file(build(
      dir, "app.run",
      {"--sign=" + keys().path("w.key"), "--license=L", "-C", "App", "-V", "/opt", "-S", "app",
       "-f", "cat > /opt/app/data", "-r", "cd /opt/app && echo post $NAME > post.out", "f"}));
  size_t block = size_t(load_le64(good, good.size() - 24));
  test::write_file(dir / "bad.run",
                   std::string(good).replace(block - 5, 1, 1, char(good[block - 5] ^ 1)), 0755);
  Result r = test::in_mount_namespace(
      "R=$D/root; mkdir -p $R/bin $R/tmp $R/proc $R/opt\n"
      "cp /bin/busybox $R/bin/ && for l in sh cat echo; do ln -s busybox $R/bin/$l; done\n"
      "cp $D/app.run $D/bad.run $R/ && mount -t proc proc $R/proc\n"
      "chroot $R /app.run < /dev/null > $D/ask.out 2> $D/ask.err || echo $? > $D/ask.status\n"
      "chroot $R /app.run --license > $D/license.out\n"
      "chroot $R /bad.run --accept -t /tmp > $D/bad.out 2> $D/bad.err || echo $? > $D/bad.status\n"
      "ls -A $R/tmp $R/opt > $D/bad.made\n"
      "chroot $R /app.run --accept --key=$KEY -t /tmp -- one > $D/run.out 2> $D/run.err\n"
      "ls -A $R/opt > $D/opt.after && cp -r $R/tmp/app $D/installed\n",
      [&] {
        test::RunOptions o;
        o.env["D"] = dir.path;
        o.env["KEY"] = keys().text("w");
        return o;
      }());
  ASSERT_EQ(r.status, 0) << r.err << test::read_file(dir / "run.err");
  EXPECT_EQ(test::read_file(dir / "ask.status"), "1\n");
  EXPECT_EQ(test::read_file(dir / "ask.err"),
            "/app.run: this archive has a licence: read it with --license and pass --accept to "
            "accept it\n");
  EXPECT_EQ(test::read_file(dir / "license.out"), licence);
  EXPECT_EQ(test::read_file(dir / "bad.status"), "1\n");
  EXPECT_EQ(test::read_file(dir / "bad.err"),
            "/bad.run: signature does not match: the archive was changed after it was signed\n");
  EXPECT_EQ(test::read_file(dir / "bad.made"), dir / "root/opt:\n\n" + dir / "root/tmp:\n")
      << "the changed archive made something";
  EXPECT_EQ(test::read_file(dir / "run.err"), "\nApp\n\nPlease wait...\n");
  EXPECT_EQ(test::read_file(dir / "opt.after"), "") << "the placement's link stays";
  EXPECT_EQ(test::read_file(dir / "installed/data"), "the data\n");
  EXPECT_EQ(test::read_file(dir / "installed/post.out"), "post f one\n");
}

TEST(SignedStatic, AnAarch64InstallerChecksItselfUnderQemu) {
  std::string skip = static_skip();
  if (!skip.empty()) GTEST_SKIP() << skip;
  const char *qemu = "/usr/bin/qemu-aarch64-static";
  if (!test::exists(qemu)) GTEST_SKIP() << "no " << qemu << " (Debian qemu-user-static)";
  if (!test::exists(KAPSA_AARCH64_BIN))
    GTEST_SKIP() << KAPSA_AARCH64_BIN << " is not built (make cross)";
  Installer in;
  const TempDir &dir = in.dir;
  std::string a = build(
      dir, "a.run", in.args({"--arch=aarch64", "--sign=" + keys().path("w.key"), "--license=L"}));
  std::string good = test::read_file(a);
  std::string image = test::read_file(KAPSA_AARCH64_BIN);
  ASSERT_EQ(good.compare(0, image.size(), image), 0) << "--arch=aarch64 took another image";
  size_t block = size_t(load_le64(good, good.size() - 24));
  std::string bad = dir / "bad.run";
  test::write_file(bad, std::string(good).replace(block - 5, 1, 1, char(good[block - 5] ^ 1)),
                   0755);
  std::string tmp = dir / "tmp", key = "--key=" + keys().path("w.pub");
  struct Case {
    std::string what;
    std::vector<std::string> args;
    int status;
    std::string err, made;
  } cases[] = {
      {"no --accept",
       {a, "-t", tmp},
       1,
       a + ": this archive has a licence: read it with --license and pass --accept to accept it\n",
       ""},
      {"changed",
       {bad, "--accept", "-t", tmp},
       1,
       bad + ": signature does not match: the archive was changed after it was signed\n",
       ""},
      {"another key",
       {a, "--accept", "--key=" + keys().path("o.pub"), "-t", tmp},
       1,
       a + ": signed by another key (" + keys().id("w") + ")\n",
       ""},
      {"accepted, its key", {a, "--accept", key, "-t", tmp}, 0, in.banner, in.installed},
  };
  for (const Case &c : cases) {
    test::RunOptions o = test::at(dir.path);
    o.input_devnull = true;
    Result r = test::run(qemu, c.args, o);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
    EXPECT_EQ(in.made(), c.made) << c.what;
    in.clean();
  }
  Result check = test::run(qemu, {a, "--check", key});
  EXPECT_EQ(check.status, 0) << check.err;
  EXPECT_EQ(check.out, a + ": signed by " + keys().id("w") + ": OK\n" + trusted("f"));
}

}  // namespace
