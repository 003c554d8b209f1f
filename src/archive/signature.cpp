// Checking an archive's signature block.
#include "archive/signature.h"

#include <cstdio>

#include "base/text.h"
#include "sign/block.h"
#include "sign/keys.h"

namespace kapsa {

int signature_check(const Archive &a, const Options &options, bool say_ok) {
  Shown shown(a.name);
  const char *name = shown.text;
  if (!a.is_signed) {
    if (options.key_count == 0) return 0;
    fprintf(stderr, "%s: not signed\n", name);
    return -1;
  }
  SignPublicKey trusted[sizeof options.keys / sizeof *options.keys];
  for (int i = 0; i < options.key_count; i++)
    if (sign_read_public_key(options.keys[i], &trusted[i]) != 0) return -1;
  SignVerdict verdict;
  if (sign_verify(a.fd, a.signature, options.key_count ? trusted : nullptr, options.key_count,
                  &verdict) != 0) {
    fprintf(stderr, "%s: the signature cannot be checked\n", name);
    return -1;
  }
  char id[sign_key_id_text_size];
  sign_key_id_text(a.signature.key.id, id);
  switch (verdict) {
    case SignVerdict::ok:
      if (say_ok) signature_print_ok(a);
      return 0;
    case SignVerdict::another_key:
      fprintf(stderr, "%s: signed by another key (%s)\n", name, id);
      break;
    case SignVerdict::mismatch:
      fprintf(stderr, "%s: signature does not match: the archive was changed after it was signed\n",
              name);
      break;
    case SignVerdict::damaged:
      fprintf(stderr, "%s: signature block damaged: the trusted comment does not match\n", name);
      break;
  }
  return -1;
}

void signature_print_ok(const Archive &a) {
  char id[sign_key_id_text_size];
  printf("%s: signed by %s: OK\n", Shown(a.name).text, sign_key_id_text(a.signature.key.id, id));
  fputs("    trusted comment: ", stdout);
  text_print_escaped(stdout, a.signature.comment);
  putchar('\n');
}

int signature_print_minisig(const Archive &a) {
  if (!a.is_signed) {
    fprintf(stderr, "%s: not signed\n", Shown(a.name).text);
    return -1;
  }
  return sign_write_minisig(a.signature, stdout);
}

}  // namespace kapsa
