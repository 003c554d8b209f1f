// Fuzz target: strsplit with arbitrary texts and delimiter sets, and
// feature_lookup on arbitrary feature lists.
//
// The input is three texts separated by NUL bytes: the delimiter set, the
// text to split (also the key looked up), and the feature list (cut to
// 1,023 characters).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/features.h"
#include "archive/preamble.h"
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
void check_lookup(const char *key) {
  const char *found = feature_lookup(key);
  const char *at = strstr(preamble.features, key);
  if (!at) {
    if (found) abort();
    return;
  }
  if (!found) abort();
  size_t len = strcspn(at, ",");
  if (len > feature_item_max) len = feature_item_max;
  if (strlen(found) != len || strncmp(found, at, len) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> texts = fuzz::split_texts(data, size, 3);
  fuzz::reset_state();
  check_split(texts[1], texts[0]);

  std::string features = texts[2].substr(0, text_size - 1);
  memcpy(preamble.features, features.c_str(), features.size() + 1);
  for (const char *key : {"NOCOMPR", "NAME=", "VFYFS=", "FSSUB="}) check_lookup(key);
  check_lookup(texts[1].substr(0, 300).c_str());
  return 0;
}
