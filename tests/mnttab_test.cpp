// The mount table reader on fixture tables in both formats.
#include "lib/mnttab.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support.h"

using namespace kapsa;

namespace {

using Entries = std::vector<std::string>;

struct Mnttab : testing::Test {
  test::TempDir dir;
  std::string table = dir / "mnttab";

  void use(const std::string &text, bool linux_format = false) {
    test::write_file(table, text);
    mnttab_use_table_for_testing(table.c_str(), linux_format);
  }
  void TearDown() override { mnttab_use_table_for_testing(nullptr, 0); }
};

// "special|mount_point|fstype|read_only", or "null".
std::string show(const MountEntry *e) {
  if (!e) return "null";
  return std::string(e->special) + "|" + e->mount_point + "|" + e->fstype + "|" +
         std::to_string(e->read_only);
}

// The entries left in the walk.
Entries walk() {
  Entries entries;
  while (MountEntry *e = mnttab_next()) entries.push_back(show(e));
  return entries;
}

const char *const svr4_table =
    "# device mount type options time\n"
    "   \t# an indented comment\n"
    "/dev/dsk/c0d0s0  /  ufs  rw,suid  700000000\n"
    "\n"
    " \t \n"
    "-\t/proc\tproc\t-\t700000001\n"
    "  /dev/dsk/c0d0s2 /usr ufs ro 700000002\n";
const Entries svr4_entries = {"/dev/dsk/c0d0s0|/|ufs|0", "|/proc|proc|0",
                              "/dev/dsk/c0d0s2|/usr|ufs|1"};

TEST_F(Mnttab, WalkSkipsCommentsAndBlankLinesAndRestartsAfterClose) {
  use(svr4_table);
  EXPECT_EQ(show(mnttab_next()), svr4_entries[0]);
  mnttab_close();
  EXPECT_EQ(walk(), svr4_entries);
  EXPECT_EQ(mnttab_next(), nullptr);
  mnttab_close();
  EXPECT_EQ(show(mnttab_next()), svr4_entries[0]);
  // mnttab_find starts afresh and leaves the table closed.
  EXPECT_EQ(show(mnttab_find("/usr")), svr4_entries[2]);
  EXPECT_EQ(show(mnttab_find("/dev/dsk/c0d0s0")), svr4_entries[0]);
  EXPECT_EQ(mnttab_find("-"), nullptr);  // an absent field never matches
  EXPECT_EQ(mnttab_find("/nowhere"), nullptr);
  EXPECT_EQ(walk(), svr4_entries);
}

TEST_F(Mnttab, LinesThatAreNotEntriesEndTheWalk) {
  const std::string good = "/dev/a /a ufs rw 1\n";
  for (const std::string &bad :
       {std::string("/dev/b /b ufs rw\n"), std::string("/dev/b /b ufs rw 1 2\n"),
        "/dev/b /b ufs rw " + std::string(1006, '1') + "\n",  // 1,023
        "#" + std::string(1022, 'c') + "\n"}) {
    use(good + bad + good);
    EXPECT_EQ(walk(), Entries{"/dev/a|/a|ufs|0"}) << bad;
    EXPECT_EQ(mnttab_next(), nullptr) << "the rest of the line was read as an entry";
  }
  std::string longest = "/dev/a /a ufs rw " + std::string(1005, '7');  // 1,022
  use(longest + "\n/dev/b /b ufs ro 1\n");
  EXPECT_EQ(walk(), (Entries{"/dev/a|/a|ufs|0", "/dev/b|/b|ufs|1"}));
}

TEST_F(Mnttab, FieldsAreCutToTheirWidthsAndReadOnlyIsTheOptionRo) {
  std::string dev = "/dev/" + std::string(125, 'd'), mp127 = "/" + std::string(126, 'm'),
              mp130 = "/" + std::string(129, 'n'), type(40, 't');
  use(dev + " " + mp127 + " " + type + " rw 0\n- " + mp130 +
      " - ro 0\n"
      "a /b c rw,ro 0\na /c c ro,nosuid 0\na /d c rw,errors=remount-ro 0\na /e c rorw 0\n");
  EXPECT_EQ(walk(), (Entries{dev.substr(0, 127) + "|" + mp127 + "|" + type.substr(0, 31) + "|0",
                             "|" + mp130.substr(0, 127) + "||1", "a|/b|c|1", "a|/c|c|1", "a|/d|c|0",
                             "a|/e|c|0"}));
}

TEST_F(Mnttab, ATableThatCannotBeOpenedIsTriedAgainLater) {
  mnttab_use_table_for_testing(table.c_str(), 0);
  EXPECT_EQ(mnttab_next(), nullptr);
  test::write_file(table, "/dev/a / ufs rw 0\n");
  EXPECT_EQ(show(mnttab_next()), "/dev/a|/|ufs|0");
}

TEST_F(Mnttab, KernelTableDecodesEscapesAndPassesOverWhatCannotBeUsed) {
  use("proc /proc proc rw,nosuid 0 0\n"
      "/dev/sda1 / ext4 rw,relatime,errors=remount-ro 0 0\n"
      "tmpfs /run tmpfs rw 0 0\n"
      "/dev/sdb1 /mnt/with\\040space\\011tab\\134back xfs ro,nosuid 0 0\n"
      "cgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
      "overlay /o overlay rw,lowerdir=" +
          std::string(5000, 'l') +
          " 0 0\n"
          "/dev/sdc1 /" +
          std::string(127, 'x') +
          " ext4 rw 0 0\n"
          "/dev/sdc2 /" +
          std::string(126, 'y') +
          " ext4 rw 0 0\n"
          "not an entry\n"
          "/dev/sde1 /last\\040one btrfs rw 0 0\n",
      true);
  EXPECT_EQ(walk(),
            (Entries{"/dev/sda1|/|ext4|0", "/dev/sdb1|/mnt/with space\ttab\\back|xfs|1",
                     "overlay|/o|overlay|0", "/dev/sdc2|/" + std::string(126, 'y') + "|ext4|0",
                     "/dev/sde1|/last one|btrfs|0"}));
  EXPECT_EQ(show(mnttab_find("/last one")), "/dev/sde1|/last one|btrfs|0");
}

TEST_F(Mnttab, SystemTableLeavesOutPseudoFilesystems) {
  mnttab_use_table_for_testing(nullptr, 0);
  Entries entries = walk();
  EXPECT_FALSE(entries.empty());
  for (const std::string &e : entries) EXPECT_EQ(e.find("|proc|"), std::string::npos) << e;
}

}  // namespace
