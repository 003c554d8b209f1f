// The help texts of both modes.
#include "frame/help.h"

#include <cstddef>

#include "base/text.h"

namespace kapsa {

namespace {

constexpr char version_string[] = "@(#) kapsa 1.2    5/17/2001 ";

// The lines of --help: a heading (no option), or an option and a few words.
struct HelpLine {
  const char *option;  // as typed, with its argument; null for a heading
  const char *words;
};

const HelpLine build_help[] = {
    {nullptr, "Building an archive of the files, written to standard output:"},
    {"-a", "store the files raw, not compressed (feature NOCOMPR)"},
    {"-p PATH", "copy PATH as the extractor image (default: this program)"},
    {"--arch=NAME", "the extractor image for x86_64 or aarch64 machines"},
    {"--level=N", "compression level, 1 (fastest) to 12 (smallest); default: per chunk"},
    {"--threads=N", "compressing threads, 1 to 256; default: the processors"},
    {"--zstd[=LEVEL]", "zstd frames instead of gzip, level 1 to 22 (default 19)"},
    {"--zstd-memory=N", "unpacking the zstd frames needs at most N MiB of memory"},
    {nullptr, "The archive's preamble:"},
    {"-C TEXT", "the comment shown when the archive runs"},
    {"-f COMMAND", "extract command, fed the payload (default: cat > %p/%o)"},
    {"-r COMMAND", "post-install command, run after the extract command"},
    {"-V DIR", "the filesystem that must have room for the data (VFYFS=DIR)"},
    {"-S SUB", "its subdirectory that receives the data (FSSUB=SUB)"},
    {"--verify", "the archive checks its payload before it installs (VERIFY)"},
    {"--sign=KEYFILE", "sign the archive with a minisign secret key (SIGNED)"},
    {"--license=FILE", "a licence the user must accept before anything is installed"},
    {nullptr, "Checking and listing the archives named as files:"},
    {"--check", "test them without extracting anything"},
    {"--key=PUBKEY", "with --check or -u: only archives signed by this key (a file or RW...)"},
    {"--minisig", "print each archive's signature as a minisign .minisig file"},
    {"-l", "list their preambles and compression statistics"},
    {"-v", "with -l: the method, CRC and date too"},
    {nullptr, "Extracting the archive named as the first file:"},
    {"-u", "extract it, as if it had been run (options go before its name)"},
    {"-c", "write the data to a file named \"stdout\""},
    {"-x", "write the data to standard output; no space check, no commands"},
    {"-n", "do not run the post-install command"},
    {"-t PATH", "place the data under PATH, if the archive names a filesystem"},
    {"--target=DIR", "install a tree into DIR (default: ./NAME)"},
    {"--replace", "replace an installed tree; put it back if the post-install fails"},
    {"--accept", "with -u: accept the archive's licence without being asked"},
    {"--quiet", "no banner, no messages but errors, no progress line"},
    {"-- ARG...", "after the archive's name: arguments for the post-install"},
    {nullptr, "Help:"},
    {"-h, -?", "the short usage, on standard error"},
    {"--help", "this help"},
    {"--version", "the version line"},
};

const HelpLine extract_help[] = {
    {nullptr, "Installing (what running the archive does):"},
    {"-n", "do not run the post-install command"},
    {"-t PATH", "place the data under PATH, if the archive names a filesystem"},
    {"--target=DIR", "install a tree into DIR (default: ./NAME)"},
    {"--replace", "replace an installed tree; put it back if the post-install fails"},
    {"-v", "verbose: ask before a temporary link and the post-install"},
    {"--quiet", "no banner, no messages but errors, no progress line"},
    {"-- ARG...", "pass ARG... to the post-install command"},
    {"-c", "write the data to a file named \"stdout\", not its stored name"},
    {"-x", "write the data to standard output; no space check, no commands"},
    {"-u ARCHIVE", "extract ARCHIVE instead of this archive"},
    {"--key=PUBKEY", "run only when signed by this key (a file or RW...)"},
    {"--license", "print the archive's licence"},
    {"--accept", "accept the licence without being asked (unattended installs)"},
    {nullptr, "Checking:"},
    {"--check", "test the archive without extracting anything"},
    {"-l", "list the archive's preamble and compression statistics"},
    {nullptr, "Help:"},
    {"-h, -?", "the short usage, on standard error"},
    {"--help", "this help"},
    {"--version", "the version line"},
};

}  // namespace

void print_version(FILE *out) { fprintf(out, "Version: %s\n", version_string); }

void print_help(Mode mode, const char *program, const char *comment) {
  print_usage(mode, program, comment, stdout, false);
  bool building = mode == Mode::build;
  const HelpLine *lines = building ? build_help : extract_help;
  size_t count = building ? sizeof build_help / sizeof *build_help
                          : sizeof extract_help / sizeof *extract_help;
  for (size_t i = 0; i < count; i++) {
    if (!lines[i].option)
      printf("\n%s\n", lines[i].words);
    else
      printf("  %-14s %s\n", lines[i].option, lines[i].words);
  }
  printf("\nCommon command lines:\n");
  if (building) {
    printf("  %s -f 'tar xf -' -r 'sh ./app/setup.sh' app.tar > app.run\n", program);
    printf("  %s --check app.run\n", program);
    printf("  %s -l app.run\n", program);
  } else {
    printf("  %s --check\n", program);
    printf("  %s -n -t /bigdisk\n", program);
    printf("  %s -x > data\n", program);
  }
  printf("\nSee kapsa(1).\n");
}

void print_usage(Mode mode, const char *program, const char *comment, FILE *out,
                 bool options_too) {
  print_version(out);
  if (mode == Mode::build) {
    fprintf(out,
            "Usage: %s [-huclva] [-p kapsa_path] [-C 'comment'] [-f 'extract_shell_cmds'] "
            "[-r 'run_program_after_extraction'] [-V 'filesystem'] [-S 'fssub'] <files...>\n",
            program);
    return;
  }
  fputc('\n', out);
  text_print_escaped(out, comment, true);
  fputs("\n\n", out);
  fprintf(out, "Usage: %s [-hclnvtx]\n", program);
  if (!options_too) return;
  fputs(
      "    -h: show this help\n"
      "    -u: use as utility to decompress archive specified on command-line\n"
      "    -l: list compression statistics\n"
      "    -c: extract to stdout instead of archive name\n"
      "    -x: extract only. do not deflate the archive\n"
      "    -n: do not run install command after deflating archive\n"
      "    -t: temp path for decompression if archive allows\n"
      "    -v: verbose output\n",
      out);
}

}  // namespace kapsa
