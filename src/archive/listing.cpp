// Listing an archive: the four preamble texts, then for a compressed payload
// one statistics line (the payload door prints it: for gzip from the first
// member's header and the trailer at the end of the payload, for zstd from
// the frames' headers):
//
//   [method  crc     date  time  ]compressed  uncompr. ratio uncompressed_name
#include "archive/listing.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "base/features.h"
#include "base/text.h"
#include "base/fatal.h"
#include "payload/payload.h"
#include "sign/keys.h"
#include "tree/tar.h"

namespace kapsa {

void list_archive(Archive &a, Options &options, Listing &listing) {
  Payload &p = a.payload;
  // Nothing is printed of an archive whose header, sizes or member count
  // are refused; the other archives of the run are still listed.
  bool refused = payload_look_ahead(p) != 0 || payload_read_header(p, options.verbose, true) != 0 ||
                 payload_measure(p) != 0 || payload_check_members(p, false) != 0;
  if (refused) {
    close(a.fd);
    options.exit_code = 1;
    return;
  }
  // The texts are shown escaped when they hold control characters, so that
  // what a terminal shows is what runs.
  auto line = [](const char *label, const char *text) {
    fputs(label, stdout);
    text_print_escaped(stdout, text);
    putchar('\n');
  };
  const Preamble &pre = a.preamble;
  if (pre.features[0]) line("Feature: ", pre.features);
  line("Comment: ", pre.comment);
  line("    Run: ", pre.run_command);
  // A tree without an extract command is unpacked by kapsa itself.
  bool own_tree = !pre.extract_command[0] && feature_item(pre.features, "TREE");
  line("Extract: ", pre.extract_command[0] ? pre.extract_command
                    : own_tree             ? "(the tree, unpacked by kapsa)"
                                           : "cat > %p/%o");
  if (a.is_signed) {
    char id[sign_key_id_text_size];
    printf(" Signed: by key %s\n", sign_key_id_text(a.signature.key.id, id));
  }
  if (a.license_bytes) printf("License: %lld bytes (--license shows it)\n", a.license_bytes);
  payload_print_statistics(p, options.verbose, &listing.header_due);
  // A tree's entries follow, when asked for (-v): the stream is decoded
  // for them, and checked as --check checks it.
  if (options.verbose && feature_item(pre.features, "TREE")) {
    fflush(stdout);
    std::unique_ptr<TreeCheck, decltype(&free)> check(
        static_cast<TreeCheck *>(calloc(1, sizeof(TreeCheck))), free);
    if (!check) fatal_error(options.program_name, a.name, "out of memory");
    tree_check_begin(*check, a.name, true);
    payload_decode(p, -1, p.name, true, tree_check_consume, check.get());
    if (tree_check_end(*check) != 0) options.exit_code = 1;
  }
  close(a.fd);
}

}  // namespace kapsa
