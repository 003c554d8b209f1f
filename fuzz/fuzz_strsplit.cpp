// Fuzz target: strsplit with arbitrary texts and delimiter sets, and the
// feature list lookups (feature_lookup, feature_item, feature_number) on
// arbitrary feature lists.
//
// The input is three texts separated by NUL bytes: the delimiter set, the
// text to split (also a key looked up), and the feature list (cut to 1,023
// characters).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/features.h"
#include "base/options.h"
#include "fuzz_support.h"
#include "lib/aplist.h"
#include "lib/strsplit.h"

using namespace kapsa;

namespace {

// The split written out plainly, rule by rule, on a std::string.
std::vector<std::string> reference_split(std::string text, const std::string &delimiters) {
  std::vector<std::string> fields;
  bool quoted = false, escaped = false;
  size_t start = 0;
  auto is_delimiter = [&](char c) { return delimiters.find(c) != std::string::npos; };
  auto store = [&](size_t end) {
    std::string field = text.substr(start, end - start);
    if (escaped) field.erase(std::remove(field.begin(), field.end(), '\\'), field.end());
    fields.push_back(field);
    escaped = false;
  };
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == '\\') {
      escaped = true;
      if (i + 1 == text.size()) break;
      i += 2;
    } else if (c == '"' && !escaped && !quoted) {
      quoted = true;
      start = ++i;
    } else if (c == '"' && !escaped) {
      quoted = false;
      text.erase(std::remove(text.begin() + long(i), text.end(), '"'), text.end());
      if (i == text.size()) {
        store(i);
        return fields;
      }
      if (is_delimiter(text[i])) {
        store(i);
        start = i + 1;
      }
      i++;
    } else if (!quoted && is_delimiter(c)) {
      store(i);
      start = ++i;
    } else {
      i++;
    }
  }
  if (start < text.size()) store(text.size());
  return fields;
}

void check_split(const std::string &text, const std::string &delimiters) {
  char **fields = strsplit(text.c_str(), delimiters.c_str());
  if (!fields) abort();
  std::vector<std::string> got;
  for (char **field = fields; *field; field++) got.push_back(*field);
  if (got.size() != size_t(aplist_count(reinterpret_cast<void **>(fields)))) abort();
  aplist_free(reinterpret_cast<void **>(fields));
  std::vector<std::string> expected = reference_split(text, delimiters);
  if (got != expected) {
    fprintf(stderr, "split of [%s] at [%s]: %zu fields, expected %zu\n", text.c_str(),
            delimiters.c_str(), got.size(), expected.size());
    for (size_t i = 0; i < got.size() || i < expected.size(); i++)
      fprintf(stderr, "  [%s] [%s]\n", i < got.size() ? got[i].c_str() : "-",
              i < expected.size() ? expected[i].c_str() : "-");
    abort();
  }
}

// The lookup is the text from the key's first occurrence up to the next
// "," or 255 characters, whichever comes first.
void check_lookup(const char *list, const char *key) {
  const char *found = feature_lookup(list, key);
  const char *at = strstr(list, key);
  if (!at) {
    if (found) abort();
    return;
  }
  if (!found) abort();
  size_t len = strcspn(at, ",");
  if (len > feature_item_max) len = feature_item_max;
  if (strlen(found) != len || strncmp(found, at, len) != 0) abort();
}

// The items of a list as the lookups walk them: the texts between commas,
// a last empty one (after a trailing comma) left out.
std::vector<std::string> items_of(const std::string &list) {
  std::vector<std::string> items;
  size_t start = 0;
  for (size_t comma; (comma = list.find(',', start)) != std::string::npos; start = comma + 1)
    items.push_back(list.substr(start, comma - start));
  if (start < list.size()) items.push_back(list.substr(start));
  return items;
}

// feature_item: the first item that is key, or key and "=" and more.
void check_item(const std::string &list, const std::string &key) {
  const char *found = feature_item(list.c_str(), key.c_str());
  for (const std::string &item : items_of(list)) {
    if (item == key || item.compare(0, key.size() + 1, key + "=") == 0) {
      if (!found || item.substr(0, feature_item_max) != found) abort();
      return;
    }
  }
  if (found) abort();
}

// feature_number: -1 without an item that begins with key; -2 for a second
// one, or a value that is not all decimal digits below 2^63.
void check_number(const std::string &list, const std::string &key) {
  long long expected = -1;
  for (const std::string &item : items_of(list)) {
    if (item.compare(0, key.size(), key) != 0) continue;
    std::string digits = item.substr(key.size());
    if (expected != -1 || digits.empty() ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      expected = -2;
      break;
    }
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    const std::string max = std::to_string(LLONG_MAX);
    if (digits.size() > max.size() || (digits.size() == max.size() && digits > max)) {
      expected = -2;
      break;
    }
    expected = std::stoll(digits);
  }
  long long got = feature_number(list.c_str(), key.c_str());
  if (got != expected) {
    fprintf(stderr, "feature_number(\"%s\", \"%s\"): %lld, expected %lld\n", list.c_str(),
            key.c_str(), got, expected);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> texts = fuzz::split_texts(data, size, 3);
  check_split(texts[1], texts[0]);

  std::string features = texts[2].substr(0, text_size - 1);
  const char *list = features.c_str();
  for (const char *key : {"NOCOMPR", "NAME=", "VFYFS=", "FSSUB="}) check_lookup(list, key);
  std::string key = texts[1].substr(0, 300);
  check_lookup(list, key.c_str());
  for (const char *item : {"ZSTD", "NAME", "VERIFY"}) check_item(features, item);
  check_item(features, key);
  for (const char *number : {"SIZE=", "MEMBERS="}) check_number(features, number);
  check_number(features, key);
  return 0;
}
