// Fuzz target: the tar push parser (tree/tar.h) on arbitrary streams.
//
// The input is the stream.  It is parsed twice: fed whole, then in pieces
// of sizes drawn from a generator seeded by the input (one byte to a few
// blocks, so that headers, extended records and data are cut anywhere).
// Both parses must hand on the same entries and data and end the same way,
// refused for the same reason at the same byte.  Every entry handed on
// must keep to the policy the unpacker relies on: a clean relative name
// without "..", a hard link naming a clean name, a symbolic link whose
// target stays in the tree, and exactly size bytes of data for a file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tree/tar.h"

using namespace kapsa;

namespace {

// What one parse handed on and how it ended, written out as text.
struct Trace {
  std::string events;
  uint64_t data_left = 0;  // data bytes still due to the current file
};

// A name as the parser promises it: not empty, relative, no empty, "." or
// ".." component, no trailing "/", at most tree_name_max bytes.
bool clean(const char *name) {
  size_t len = strlen(name);
  if (len == 0 || len > tree_name_max || name[0] == '/' || name[len - 1] == '/') return false;
  for (const char *p = name;;) {
    size_t part = strcspn(p, "/");
    if (part == 0 || (part == 1 && p[0] == '.') || (part == 2 && p[0] == '.' && p[1] == '.'))
      return false;
    if (!p[part]) return true;
    p += part + 1;
  }
}

void check_entry(const TreeEntry &e) {
  bool good = clean(e.name) && e.mode <= 07777;
  switch (e.type) {
    case TreeType::file:
    case TreeType::directory:
      good = good && !e.target[0] && (e.type == TreeType::file || e.size == 0);
      break;
    case TreeType::hard_link:
      good = good && clean(e.target) && e.size == 0;
      break;
    case TreeType::symlink:
      good = good && !tree_link_refusal(e.name, e.target) && e.size == 0;
      break;
    default:
      good = false;
  }
  if (!good) {
    fprintf(stderr, "entry breaks the policy: type '%c' mode %o name \"%s\" target \"%s\"\n",
            char(e.type), e.mode, e.name, e.target);
    abort();
  }
}

int on_entry(void *ctx, const TreeEntry &e) {
  Trace &t = *static_cast<Trace *>(ctx);
  check_entry(e);
  if (t.data_left != 0) abort();  // the previous file's data was all handed on
  t.data_left = e.size;
  char line[96];
  snprintf(line, sizeof line, "\n%c %o %llu %lld ", char(e.type), e.mode,
           static_cast<unsigned long long>(e.size), static_cast<long long>(e.mtime));
  t.events += line + std::string(e.name) + " -> " + e.target;
  return 0;
}

int on_data(void *ctx, const unsigned char *data, size_t size) {
  Trace &t = *static_cast<Trace *>(ctx);
  if (size == 0 || size > t.data_left) abort();
  t.data_left -= size;
  t.events.append(reinterpret_cast<const char *>(data), size);
  return 0;
}

int on_entry_end(void *ctx, const TreeEntry &) {
  Trace &t = *static_cast<Trace *>(ctx);
  if (t.data_left != 0) abort();
  t.events += "\nend";
  return 0;
}

int on_directory(void *ctx, const TreeEntry &dir) {
  if (dir.type != TreeType::directory || !clean(dir.name)) abort();
  static_cast<Trace *>(ctx)->events += "\ndir " + std::string(dir.name);
  return 0;
}

// Parses data in pieces that next_piece chooses; returns the trace, with
// the result and, when refused, the reason and place.
template <typename NextPiece>
std::string parse(const uint8_t *data, size_t size, NextPiece next_piece) {
  Trace trace;
  TreeParser *p = new TreeParser;
  tree_parse_begin(*p, TreeParseCalls{on_entry, on_data, on_entry_end}, &trace);
  int status = 0;
  for (size_t at = 0; at < size && status == 0;) {
    size_t n = next_piece();
    if (n > size - at) n = size - at;
    status = tree_parse_feed(*p, data + at, n);
    at += n;
  }
  if (status == 0) status = tree_parse_end(*p);
  if (status == -1) abort();  // no call failed, and memory did not run out here
  if (status == 0 && tree_parse_each_directory(*p, on_directory, &trace) != 0) abort();
  char end[64];
  snprintf(end, sizeof end, "\nstatus %d at %llu: ", status,
           static_cast<unsigned long long>(p->bad_offset));
  trace.events += end;
  if (status == 1) trace.events += std::string(p->reason) + " [" + p->bad_name + "]";
  tree_parse_free(*p);
  delete p;
  return trace.events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string whole = parse(data, size, [&] { return size; });

  uint32_t seed = 2166136261u;  // FNV-1a of the input
  for (size_t i = 0; i < size; i++) seed = (seed ^ data[i]) * 16777619u;
  auto piece = [&seed]() -> size_t {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    // Mostly a few bytes, sometimes up to three blocks.
    return seed % 4 ? 1 + seed % 17 : 1 + (seed >> 8) % (3 * tree_block);
  };
  std::string pieces = parse(data, size, piece);
  if (whole != pieces) {
    fprintf(stderr, "whole and in pieces differ:\n--- whole\n%s\n--- in pieces\n%s\n",
            whole.c_str(), pieces.c_str());
    abort();
  }
  return 0;
}
