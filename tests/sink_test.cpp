// The build's one way out: every byte of an archive passes the sink.
#include "io/sink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "archive/preamble.h"
#include "base/options.h"
#include "frame/build.h"
#include "support.h"

namespace {

// Builds raw, gzip and zstd archives in this process through a sink whose
// observer keeps what passes: its SHA-256 is the written file's.
TEST(Sink, EveryByteOfEveryKindOfArchivePassesTheSink) {
  test::TempDir dir;
  test::write_file(dir / "one", test::text_bytes(300000, 51));
  test::write_file(dir / "two", test::random_bytes(70000, 52));
  struct Kind {
    const char *name, *features;
    int zstd_level;
  } kinds[] = {{"raw", "NOCOMPR", 0}, {"gzip", "", 0}, {"zstd", "", 3}};
  for (const Kind &k : kinds) {
    SCOPED_TRACE(k.name);
    test::Result r = test::in_child([&] {
      kapsa::Options options = {};
      options.program_name = "kapsa";
      options.program_path = test::kapsa_bin();
      strcpy(options.extractor_path, test::kapsa_bin());
      options.zstd_level = k.zstd_level;
      kapsa::Preamble texts = {};
      strcpy(texts.features, k.features);
      strcpy(texts.comment, "sink");
      std::string seen;
      int fd = open((dir / "a.run").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      kapsa::Sink out = kapsa::sink_to(fd, "a.run", "kapsa");
      out.observe = [](void *keep, const unsigned char *data, size_t count) {
        static_cast<std::string *>(keep)->append(reinterpret_cast<const char *>(data), count);
      };
      out.observer = &seen;
      std::string one = dir / "one", two = dir / "two";
      char *files[] = {&one[0], &two[0]};
      int status = kapsa::build_archive(options, texts, 2, files, out);
      test::write_file(dir / "seen", seen);
      return status;
    });
    ASSERT_EQ(r.status, 0) << r.err;
    test::Result sums = test::sh("sha256sum < a.run && sha256sum < seen", test::at(dir.path));
    ASSERT_EQ(sums.out.size(), 2 * 68u) << sums.out;
    EXPECT_EQ(sums.out.substr(0, 68), sums.out.substr(68));
    EXPECT_GT(test::read_file(dir / "seen").size(), 300000u / 10);
  }
}

}  // namespace
