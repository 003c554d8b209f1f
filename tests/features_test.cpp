// The feature list: appending items and looking keys up.
#include "base/features.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>


using namespace kapsa;

namespace {

struct FeatureList : testing::Test {
  char list[1024] = "";
  void set(const char *text) { strcpy(list, text); }
  std::string lookup(const char *key) {
    const char *r = feature_lookup(list, key);
    return r ? r : "<none>";
  }
  int append(const char *item) { return feature_append(list, sizeof list, item); }
};

TEST_F(FeatureList, AppendSeparatesItemsWithOneCommaAndNoLeadingComma) {
  EXPECT_EQ(append("NOCOMPR"), 0);
  EXPECT_STREQ(list, "NOCOMPR");
  EXPECT_EQ(append("VFYFS=/opt"), 0);
  EXPECT_EQ(append("NAME=f1"), 0);
  EXPECT_STREQ(list, "NOCOMPR,VFYFS=/opt,NAME=f1");
}

TEST_F(FeatureList, AppendRefusesAListPast1023CharactersAndKeepsTheOldOne) {
  std::string item(1000, 'x');
  ASSERT_EQ(append(item.c_str()), 0);
  std::string fits(22, 'y');  // 1000 + "," + 22 = 1023
  ASSERT_EQ(append(fits.c_str()), 0);
  EXPECT_EQ(strlen(list), 1023u);
  EXPECT_EQ(append("z"), -1);
  EXPECT_EQ(strlen(list), 1023u);
}

TEST_F(FeatureList, LookupReturnsTheItemFromTheKeyToTheNextComma) {
  set("NOCOMPR,NAME=data.tar");
  EXPECT_EQ(lookup("NOCOMPR"), "NOCOMPR");
  EXPECT_EQ(lookup("NAME="), "NAME=data.tar");
  EXPECT_EQ(lookup("VFYFS="), "<none>");
}

TEST_F(FeatureList, LookupIsAPlainSubstringSearch) {
  set("NAME=NOCOMPR.tar");
  EXPECT_EQ(lookup("NOCOMPR"), "NOCOMPR.tar");
  set("FSSUB=NAME=x,NAME=real");
  EXPECT_EQ(lookup("NAME="), "NAME=x");
}

TEST_F(FeatureList, LookupGivesTheFirstOfARepeatedKey) {
  set("VFYFS=/a,b,VFYFS=/b");
  EXPECT_EQ(lookup("VFYFS="), "VFYFS=/a");
}

TEST_F(FeatureList, LookupCutsAnItemTo255CharactersAndTheResultIsShared) {
  std::string long_item = "NAME=" + std::string(400, 'n');
  set(long_item.c_str());
  std::string r = lookup("NAME=");
  EXPECT_EQ(r.size(), 255u);
  EXPECT_EQ(r, long_item.substr(0, 255));
  set("NOCOMPR,NAME=a");
  const char *first = feature_lookup(list, "NOCOMPR");
  const char *second = feature_lookup(list, "NAME=");
  EXPECT_EQ(first, second);
  EXPECT_STREQ(first, "NAME=a");
}

TEST_F(FeatureList, NewKeysMatchWholeItemsOnly) {
  struct Case {
    const char *list, *key;
    std::string item;
    long long size;
  } cases[] = {
      {"NAME=VERIFY.tar,SIZEX=1", "VERIFY", "<none>", -1},
      {"NAME=x,VERIFY,SIZE=4295999488", "VERIFY", "VERIFY", 4295999488LL},
      {"VERIFYING,NAME=SIZE=3", "VERIFY", "<none>", -1},
      {"SIZE,SIZE=12x", "SIZE", "SIZE", -2},
  };
  for (const Case &c : cases) {
    set(c.list);
    const char *item = feature_item(list, c.key);
    EXPECT_EQ(item ? item : "<none>", c.item) << c.list;
    EXPECT_EQ(feature_number(list, "SIZE="), c.size) << c.list;
  }
}

}  // namespace
