// The build: an archive on standard output from the extractor image, the
// preamble and the input files.
#pragma once

namespace kapsa {

// Builds an archive of the file_count files on standard output: the NAME
// item for the first file, the extractor image and the preamble, then each
// file as one gzip member, or raw when the feature list holds NOCOMPR.  An
// input that cannot be opened is reported and skipped.  Returns the exit
// status: options.exit_code, or 1 when the preamble could not be written.
int build_archive(int file_count, char **files);

}  // namespace kapsa
