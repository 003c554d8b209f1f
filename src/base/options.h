// Run settings of one kapsa process: filled at start-up from the command line
// and read by every later step (build, listing, extraction).
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kapsa {

// Size of every text buffer of the run settings and of the preamble: at most
// 1,023 characters and a NUL.
constexpr size_t text_size = 1024;

// The run record: start-up fills it from the command line and hands it to
// the one job the process does (build, listing, check, extraction), which
// reads its settings and leaves its status in exit_code.
struct Options {
  const char *program_name;        // name as invoked (argv[0]); starts every message
  int to_stdout;                   // -c; set by extraction with -x: payload goes to stdout
  int list_mode;                   // -l: list archives
  int verbose;                     // -v: extra listing columns and messages
  int exit_code;                   // status of listing and build runs; set on failure
  int no_run;                      // -n: do not run the post-install command
  int extract_only;                // -x: write the data without the extract command
  int check_mode;                  // --check: test archives instead of listing or extracting
  int verify_first;                // --verify: a build adds VERIFY (extraction checks first)
  int quiet;                       // --quiet: no banner, notes or progress line; errors only
  char extractor_path[text_size];  // -p, else the running program: copied by a build
  const char *program_path;        // the running program's file, for what is installed beside it
  char temp_path[text_size];       // -t in extract mode: alternative place for the data
  char target[text_size];          // --target in extract mode: where a tree is installed
  int replace;                     // --replace: a tree replaces an existing one (rolled back on failure)
  const char *sign_key;            // --sign=KEYFILE: the build signs with this secret key
  const char *license_file;        // --license=FILE: the build stores this licence
  int show_license;                // --license in extract mode: print the archive's licence
  int accept;                      // --accept: the licence is accepted without a question
  const char *keys[16];            // --key=PUBKEY: the keys an archive must be signed with
  int key_count;                   //   how many (any one will do)
  int minisig;                     // --minisig: print the archives' signatures as .minisig files
  char **post_install_args;        // after "--": the post-install command's "$@"
  int post_install_count;          // how many; 0 without "--"
  int level;                       // --level: the gzip level of every chunk; 0: chosen per block
  int threads;                     // --threads: compressing threads; 0: the processors
  int zstd_level;                  // --zstd[=LEVEL]: zstd frames at this level; 0: gzip members
  int zstd_memory;                 // --zstd-memory=MiB: the most unpacking may need; 0: any
};

}  // namespace kapsa
