// Appending to and looking up the feature list.
#include "archive/features.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/preamble.h"
#include "base/options.h"
#include "base/text.h"

namespace kapsa {

namespace {

char lookup_result[feature_item_max + 1];

}  // namespace

int feature_append(const char *item) {
  char *list = preamble.features;
  size_t have = strlen(list);
  size_t add = strlen(item) + (have ? 1 : 0);
  if (have + add >= sizeof preamble.features) return -1;
  if (have) list[have++] = ',';
  memcpy(list + have, item, strlen(item) + 1);
  return 0;
}

const char *feature_lookup(const char *key) {
  const char *found = strstr(preamble.features, key);
  if (!found) return nullptr;
  size_t len = strcspn(found, ",");
  if (len > feature_item_max) len = feature_item_max;
  memcpy(lookup_result, found, len);
  lookup_result[len] = '\0';
  return lookup_result;
}

const char *feature_item(const char *key) {
  size_t key_len = strlen(key);
  for (const char *item = preamble.features; *item;) {
    size_t len = strcspn(item, ",");
    if (len >= key_len && memcmp(item, key, key_len) == 0 &&
        (len == key_len || item[key_len] == '=')) {
      if (len > feature_item_max) len = feature_item_max;
      memcpy(lookup_result, item, len);
      lookup_result[len] = '\0';
      return lookup_result;
    }
    item += len;
    if (*item == ',') item++;
  }
  return nullptr;
}

const char *feature_value(const char *key) {
  const char *item = feature_item(key);
  if (!item) return nullptr;
  const char *equals = strchr(item, '=');
  return equals ? equals + 1 : item + strlen(item);
}

int feature_add(const char *key, const char *value) {
  char item[feature_item_max + 1];
  if (text_format(item, sizeof item, "%s%s", key, value) != 0) {
    fprintf(stderr, "%s: feature item too long (at most %d characters): %s%s\n",
            options.program_name, feature_item_max, key, value);
    return -1;
  }
  if (feature_append(item) != 0) {
    fprintf(stderr, "%s: feature list too long (at most %zu characters)\n", options.program_name,
            text_size - 1);
    return -1;
  }
  return 0;
}

bool payload_compressed() { return feature_lookup("NOCOMPR") == nullptr; }

PayloadKind payload_kind() {
  if (feature_item("ZSTD")) return PayloadKind::zstd;
  return payload_compressed() ? PayloadKind::gzip : PayloadKind::raw;
}

long long feature_number(const char *key) {
  size_t key_len = strlen(key);
  long long number = -1;
  for (const char *item = preamble.features; *item;) {
    size_t len = strcspn(item, ",");
    if (len >= key_len && memcmp(item, key, key_len) == 0) {
      if (number >= 0) return -2;  // a second one
      const char *digit = item + key_len, *end = item + len;
      if (digit == end) return -2;
      unsigned long long value = 0;
      for (; digit < end; digit++) {
        if (*digit < '0' || *digit > '9') return -2;
        value = value * 10 + unsigned(*digit - '0');
        if (value > (unsigned long long)LLONG_MAX) return -2;  // 2^63 or more
      }
      number = (long long)value;
    }
    item += len;
    if (*item == ',') item++;
  }
  return number;
}

long long feature_true_size() { return feature_number("SIZE="); }

}  // namespace kapsa
