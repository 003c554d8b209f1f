// The pointer list.  The sanitizer build turns any leak or double release
// here into a failure.
#include "lib/aplist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

using namespace kapsa;

namespace {

std::map<void *, int> released;  // calls of count_and_free per element

void count_and_free(void *element) {
  released[element]++;
  free(element);
}

TEST(Aplist, AppendGrowsByTheCurrentCapacityAndFreeReleasesEachElementOnce) {
  struct Case {
    intptr_t initial;
    std::map<int, intptr_t> capacity_after;  // appends made -> capacity
  };
  for (const Case &c : {Case{5, {{5, 5}, {6, 10}, {11, 20}, {20, 20}, {21, 40}}},
                        Case{-3, {{1, 1}, {2, 2}, {3, 4}, {5, 8}}}}) {
    released.clear();
    void **list = aplist_new(c.initial, count_and_free);
    std::vector<void *> items;
    for (int n = 1; n <= c.capacity_after.rbegin()->first; n++) {
      items.push_back(malloc(1));
      ASSERT_EQ(aplist_append(&list, items.back()), 0);
      ASSERT_EQ(list[n], nullptr);
      ASSERT_EQ(aplist_count(list), n);
      auto expected = c.capacity_after.find(n);
      if (expected != c.capacity_after.end()) {
        EXPECT_EQ(aplist_header(list)->capacity, expected->second) << n;
      }
    }
    EXPECT_TRUE(std::equal(items.begin(), items.end(), list));
    EXPECT_TRUE(released.empty()) << "growing released elements";
    aplist_free(list);
    ASSERT_EQ(released.size(), items.size());
    for (void *item : items) EXPECT_EQ(released[item], 1);
  }
}

TEST(Aplist, WithoutFreeFunctionOrWhenDiscardedElementsAreLeftAlone) {
  int values[6] = {};  // not heap blocks: releasing one would crash
  void **list = aplist_new(0, nullptr);
  EXPECT_EQ(aplist_header(list)->capacity, 1);
  EXPECT_EQ(list[0], nullptr);
  for (int &v : values) ASSERT_EQ(aplist_append(&list, &v), 0);
  aplist_free(list);
  released.clear();
  list = aplist_new(2, count_and_free);
  void *kept = malloc(1);
  aplist_append(&list, kept);
  aplist_discard(list);
  EXPECT_TRUE(released.empty());
  free(kept);
  EXPECT_EQ(aplist_new(INTPTR_MAX, free), nullptr);  // size would wrap
}

TEST(Aplist, EveryOperationAcceptsANullHandle) {
  void **list = nullptr;
  EXPECT_EQ(aplist_append(&list, &list), -1);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(aplist_count(list), 0);
  EXPECT_EQ(aplist_check(list), -1);
  EXPECT_EQ(aplist_grow(list, 4), nullptr);
  aplist_free(list);
  aplist_discard(list);
}

TEST(Aplist, PlainArraysAreScannedAndTheirElementsReleasedWithFree) {
  auto plain = [](int n) {
    void **array = static_cast<void **>(calloc(size_t(n) + 1, sizeof(void *)));
    for (int i = 0; i < n; i++) array[i] = malloc(1);
    return array;
  };
  void **array = plain(3);
  EXPECT_EQ(aplist_check(array), -1);
  EXPECT_EQ(aplist_count(array), 3);
  void **same = array;
  EXPECT_EQ(aplist_append(&same, &same), -1);  // no capacity to go by
  EXPECT_EQ(array[3], nullptr);
  aplist_free(array);  // the elements and the array

  array = plain(2);
  std::vector<void *> items(array, array + 2);
  void **list = aplist_grow(array, 2);  // releases the array only
  ASSERT_EQ(aplist_check(list), 0);
  EXPECT_EQ(aplist_header(list)->capacity, 4);
  EXPECT_TRUE(std::equal(items.begin(), items.end(), list));
  aplist_free(list);  // made without free function: elements stay
  for (void *item : items) free(item);
}

TEST(Aplist, CheckWantsTheMarkerAndTheHeaderPointingBack) {
  intptr_t block[10] = {};  // eight header words and two slots
  void **slots = reinterpret_cast<void **>(&block[8]);
  block[7] = aplist_marker;
  EXPECT_EQ(aplist_check(slots), -1);
  block[0] = reinterpret_cast<intptr_t>(slots);
  EXPECT_EQ(aplist_check(slots), 0);
}

}  // namespace
