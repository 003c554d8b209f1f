// The stream layer: CRC register, percentages, block refills from slow
// pipes, short writes, and the size of the writer's output pieces.
#include "gz/stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "gz/writer.h"
#include "io/fdio.h"
#include "io/sink.h"
#include "payload/payload.h"
#include "support.h"

using namespace kapsa;

namespace {

std::string ratio(long long num, long long den) {
  char *buf = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&buf, &size);
  print_ratio(num, den, f);
  fclose(f);
  std::string s(buf, size);
  free(buf);
  return s;
}

TEST(Crc, RegisterPresetsQueriesAndContinues) {
  EXPECT_EQ(update_crc(nullptr, 0), 0u);
  EXPECT_EQ(update_crc(reinterpret_cast<const unsigned char *>(""), 0), 0u);
  EXPECT_EQ(update_crc(reinterpret_cast<const unsigned char *>("abc"), 3), 0x352441C2u);
  EXPECT_EQ(update_crc(reinterpret_cast<const unsigned char *>("x"), 0), 0x352441C2u);
  update_crc(nullptr, 0);
  update_crc(reinterpret_cast<const unsigned char *>("a"), 1);
  EXPECT_EQ(update_crc(reinterpret_cast<const unsigned char *>("bc"), 2), 0x352441C2u);
}

TEST(Ratio, PrintsASignAndOneDecimal) {
  EXPECT_EQ(ratio(1, 3), " 33.3%");
  EXPECT_EQ(ratio(5, 0), "  0.0%");
  EXPECT_EQ(ratio(-5, 100), "- 5.0%");
  EXPECT_EQ(ratio(2999999, 3000000), " 99.9%");
  // Sizes past 2 GiB: a 3 GiB input compressed to 1 GiB.
  EXPECT_EQ(ratio(3221225472LL - 1073741824LL, 3221225472LL), " 66.6%");
}

struct Streams : testing::Test {
  void SetUp() override { stream_begin(-1, "in", nullptr, "kapsa"); }
};

TEST_F(Streams, RefillFillsAWholeBlockFromAPipeThatDeliversFewBytes) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  std::string data = test::random_bytes(in_buf_size + 100);
  std::thread writer([&] {
    for (size_t i = 0; i < data.size(); i += 7) {
      ASSERT_GT(write(p[1], data.data() + i, std::min<size_t>(7, data.size() - i)), 0);
      if (i % 4096 == 0) usleep(100);
    }
    close(p[1]);
  });
  stream.in_fd = p[0];
  EXPECT_EQ(next_input_byte(), static_cast<unsigned char>(data[0]));
  EXPECT_EQ(stream.in_len, in_buf_size);
  EXPECT_EQ(stream.in_pos, 1u);
  std::string got(reinterpret_cast<char *>(stream.in_buf), stream.in_len);
  stream.in_pos = stream.in_len;
  EXPECT_EQ(next_input_byte(), static_cast<unsigned char>(data[in_buf_size]));
  EXPECT_EQ(stream.in_len, 100u);
  EXPECT_EQ(stream.in_total, in_buf_size + 100);
  writer.join();
  close(p[0]);
  EXPECT_EQ(got, data.substr(0, in_buf_size));
}

TEST_F(Streams, InputThatEndsOrFailsIsFatalWithTheExactReport) {
  test::Result eof = test::in_child([] {
    stream.in_fd = open("/dev/null", O_RDONLY);
    next_input_byte();
    return 0;
  });
  EXPECT_EQ(eof.status, 1);
  EXPECT_EQ(eof.err, "\nkapsa: in: unexpected end of file\n");
  test::TempDir dir;
  test::Result error = test::in_child([&] {
    stream.in_fd = open(dir.path.c_str(), O_RDONLY);  // reading a directory fails
    next_input_byte();
    return 0;
  });
  EXPECT_EQ(error.status, 1);
  EXPECT_EQ(error.err, "\nkapsa: in: Is a directory\n");
  test::Result write_error = test::in_child([] {
    Sink out = sink_to(open("/dev/full", O_WRONLY), "out", "kapsa");
    sink_write_or_stop(out, "x", 1);
    return 0;
  });
  EXPECT_EQ(write_error.status, 1);
  EXPECT_EQ(write_error.err, "\nkapsa: out: No space left on device\n");
}

TEST_F(Streams, ShortWritesToANonBlockingPipeAreContinued) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
  std::string data = test::random_bytes(1 << 20);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    for (;;) {
      ssize_t n = read(p[0], buf, sizeof buf);
      if (n == 0) break;
      if (n > 0)
        got.append(buf, size_t(n));
      else
        usleep(50);
    }
  });
  ASSERT_EQ(fdio_write(p[1], data.data(), data.size()), 0);
  close(p[1]);
  reader.join();
  close(p[0]);
  EXPECT_TRUE(got == data);
}

TEST_F(Streams, TheWriterOutputGoesOutInPiecesOf16384Bytes) {
  // A packet socket keeps the boundaries of the writes.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
  int size = 1 << 20;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  test::TempDir dir;
  test::write_file(dir / "in", test::random_bytes(39900));
  std::vector<ssize_t> pieces;
  std::thread reader([&] {
    static char buf[65536];
    for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, 0)) > 0;) pieces.push_back(n);
  });
  int in = open((dir / "in").c_str(), O_RDONLY);
  Sink out = sink_to(sv[0], "out", "kapsa");
  write_gzip_member(in, "in", out, deflate_defaults, "kapsa");
  close(in);
  shutdown(sv[0], SHUT_WR);
  reader.join();
  close(sv[0]);
  close(sv[1]);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0], 16384);
  EXPECT_EQ(pieces[1], 16384);
  EXPECT_EQ(size_t(pieces[2]), stream.out_total - 32768);
  EXPECT_LT(pieces[2], 16384);
}

}  // namespace
