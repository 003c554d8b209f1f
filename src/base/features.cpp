// Appending to and looking up a feature list.
#include "base/features.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace kapsa {

namespace {

char lookup_result[feature_item_max + 1];

// Copies len bytes of item (at most the buffer's) into the lookup buffer.
const char *result(const char *item, size_t len) {
  if (len > feature_item_max) len = feature_item_max;
  memcpy(lookup_result, item, len);
  lookup_result[len] = '\0';
  return lookup_result;
}

}  // namespace

int feature_append(char *list, size_t list_size, const char *item) {
  size_t have = strlen(list);
  size_t add = strlen(item) + (have ? 1 : 0);
  if (have + add >= list_size) return -1;
  if (have) list[have++] = ',';
  memcpy(list + have, item, strlen(item) + 1);
  return 0;
}

const char *feature_lookup(const char *list, const char *key) {
  const char *found = strstr(list, key);
  if (!found) return nullptr;
  return result(found, strcspn(found, ","));
}

const char *feature_item(const char *list, const char *key) {
  size_t key_len = strlen(key);
  for (const char *item = list; *item;) {
    size_t len = strcspn(item, ",");
    if (len >= key_len && memcmp(item, key, key_len) == 0 &&
        (len == key_len || item[key_len] == '='))
      return result(item, len);
    item += len;
    if (*item == ',') item++;
  }
  return nullptr;
}

const char *feature_value(const char *list, const char *key) {
  const char *item = feature_item(list, key);
  if (!item) return nullptr;
  const char *equals = strchr(item, '=');
  return equals ? equals + 1 : item + strlen(item);
}

long long feature_number(const char *list, const char *key) {
  size_t key_len = strlen(key);
  long long number = -1;
  for (const char *item = list; *item;) {
    size_t len = strcspn(item, ",");
    if (len >= key_len && memcmp(item, key, key_len) == 0) {
      if (number >= 0) return -2;  // a second one
      const char *digit = item + key_len, *end = item + len;
      if (digit == end) return -2;
      unsigned long long value = 0;
      for (; digit < end; digit++) {
        if (*digit < '0' || *digit > '9') return -2;
        unsigned d = unsigned(*digit - '0');
        if (value > ((unsigned long long)LLONG_MAX - d) / 10) return -2;  // 2^63 or more
        value = value * 10 + d;
      }
      number = (long long)value;
    }
    item += len;
    if (*item == ',') item++;
  }
  return number;
}

int feature_add(char *list, size_t list_size, const char *key, const char *value,
                const char *program) {
  char item[feature_item_max + 1];
  if (text_format(item, sizeof item, "%s%s", key, value) != 0) {
    fprintf(stderr, "%s: feature item too long (at most %d characters): %s%s\n", program,
            feature_item_max, key, value);
    return -1;
  }
  if (feature_append(list, list_size, item) != 0) {
    fprintf(stderr, "%s: feature list too long (at most %zu characters)\n", program,
            list_size - 1);
    return -1;
  }
  return 0;
}

}  // namespace kapsa
