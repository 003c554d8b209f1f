// Splitting with quotes and backslashes; strdel.
#include "lib/strsplit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "lib/aplist.h"
#include "lib/strdel.h"

using namespace kapsa;

namespace {

using Fields = std::vector<std::string>;

// The fields of text, checking that the text itself is left unchanged.
Fields split(const char *text, const char *delimiters = ",") {
  std::string copy = text ? text : "";
  char **list = strsplit(text ? copy.data() : nullptr, delimiters);
  EXPECT_EQ(copy, text ? text : "") << "the text was changed";
  if (!list) return {"<null>"};
  Fields fields(list, list + aplist_count(reinterpret_cast<void **>(list)));
  aplist_free(reinterpret_cast<void **>(list));
  return fields;
}

TEST(Strsplit, FieldsQuotesAndBackslashes) {
  struct Case {
    const char *text;
    Fields fields;
  };
  const Case cases[] = {
      {"a,b,,c", {"a", "b", "", "c"}},
      {",a", {"", "a"}},
      {"a,", {"a"}},  // a trailing delimiter adds no field
      {"", {}},
      {R"(x,"y,z")", {"x", "y,z"}},
      {R"(a,"")", {"a", ""}},                      // a quoted empty field at the end counts
      {R"(ab"c,d"e)", {"c,de"}},                   // text before the opening quote is dropped
      {R"("a",b"c,d",e)", {"a", "bc", "d", "e"}},  // later quotes are removed
      {R"(a,"b,c)", {"a", "b,c"}},
      {R"("a"\,b)", {R"(a\)", "b"}},  // after a closing quote \ is ordinary
      {R"(a\,b,c)", {"a,b", "c"}},
      {R"(a,b\,c)", {"a", "b,c"}},
      {R"(a\\b,c)", {"ab", "c"}},  // every backslash of the field goes
      {R"(ab\)", {"ab"}},
      {R"(\x"y,z)", {R"(x"y)", "z"}},     // a quote after \ in its field is ordinary
      {R"(a\,b,"c,d")", {"a,b", "c,d"}},  // ... but not in the next field
      {R"("a\",b")", {R"(a",b")"}},
  };
  for (const Case &c : cases) EXPECT_EQ(split(c.text), c.fields) << c.text;
  EXPECT_EQ(split(nullptr), Fields{});
  EXPECT_EQ(split(R"("a b" "c d")", " "), (Fields{"a b", "c", "d"}));
  EXPECT_EQ(split("a;b,c", ",;"), (Fields{"a", "b", "c"}));
  std::string many;
  for (int i = 0; i < 45; i++) many += std::to_string(i) + ",";
  EXPECT_EQ(split(many.c_str()).size(), 45u);
}

TEST(Strdel, RemovesEveryOccurrenceComparingSignedCharacters) {
  char none[] = "abc", all[] = ",,,", mixed[] = ",a,,b,", high[] = "caf\xe9\xe9";
  EXPECT_EQ(strdel(none, ','), 0);
  EXPECT_STREQ(none, "abc");
  EXPECT_EQ(strdel(all, ','), 3);
  EXPECT_STREQ(all, "");
  EXPECT_EQ(strdel(mixed, ','), 4);
  EXPECT_STREQ(mixed, "ab");
  EXPECT_EQ(strdel(nullptr, ','), 0);
  EXPECT_EQ(strdel(high, 0xe9), 0);  // above 127 as a positive number
  EXPECT_EQ(strdel(high, static_cast<signed char>(0xe9)), 2);
  EXPECT_STREQ(high, "caf");
}

}  // namespace
