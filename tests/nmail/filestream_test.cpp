// The stream a mail in a file is parsed through must answer every call as
// GMime's own file stream does on the same file: the parser and the part
// readers rely on its reads, bounds, ends and substreams.
#include "mail/mime/filestream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

using nmail::mime::parts::newFileReadStream;

namespace {

struct Pair {
  GMimeStream *ours;
  GMimeStream *theirs;
  ~Pair() {
    g_object_unref(ours);
    g_object_unref(theirs);
  }
};

TEST(FileReadStream, AnswersEveryCallAsGMimesFileStreamDoes) {
  g_mime_init();
  std::mt19937 random(7);
  std::string content(700000, '\0'); // several of its buffers
  for (char &c : content)
    c = char(random());
  const int fd = ::memfd_create("mail", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, content.data(), content.size()), ssize_t(content.size()));
  const gint64 size = gint64(content.size());

  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Unbounded, bounded, and substreams of either, as the parser cuts them.
    const gint64 start = round % 3 == 0 ? 0 : gint64(random() % size);
    const gint64 end = round % 2 ? -1 : start + gint64(random() % (size - start + 1));
    GMimeStream *ours = newFileReadStream(::dup(fd), start, end);
    GMimeStream *theirs = g_mime_stream_fs_new_with_bounds(::dup(fd), start, end);
    if (round % 4 == 3) {
      const gint64 length = g_mime_stream_length(theirs);
      const gint64 from = start + (length > 0 ? gint64(random() % length) : 0);
      const gint64 to = from + (length > 0 ? gint64(random() % (start + length - from + 1)) : 0);
      GMimeStream *subOurs = g_mime_stream_substream(ours, from, to);
      GMimeStream *subTheirs = g_mime_stream_substream(theirs, from, to);
      g_object_unref(ours);
      g_object_unref(theirs);
      ours = subOurs;
      theirs = subTheirs;
    }
    const Pair pair{ours, theirs};
    ASSERT_EQ(g_mime_stream_length(ours), g_mime_stream_length(theirs));
    std::string a(300000, '\0'), b(300000, '\0');
    for (int step = 0; step < 80; ++step) {
      SCOPED_TRACE("step " + std::to_string(step));
      const unsigned what = random() % 10;
      if (what < 6) {
        // Small reads like the parser's, and large ones like a part reader's.
        const size_t want = what < 4 ? random() % 5000 : random() % a.size();
        const ssize_t n = g_mime_stream_read(ours, a.data(), want);
        ASSERT_EQ(n, g_mime_stream_read(theirs, b.data(), want));
        if (n > 0) {
          ASSERT_EQ(a.compare(0, size_t(n), b, 0, size_t(n)), 0);
        }
      } else if (what < 8) {
        const auto whence = GMimeSeekWhence(random() % 3);
        const gint64 offset = gint64(random() % (size + 1000)) - (whence == GMIME_STREAM_SEEK_SET ? 0 : size / 2);
        ASSERT_EQ(g_mime_stream_seek(ours, offset, whence), g_mime_stream_seek(theirs, offset, whence));
      } else if (what == 8) {
        ASSERT_EQ(g_mime_stream_reset(ours), g_mime_stream_reset(theirs));
      }
      ASSERT_EQ(g_mime_stream_tell(ours), g_mime_stream_tell(theirs));
      ASSERT_EQ(bool(g_mime_stream_eos(ours)), bool(g_mime_stream_eos(theirs)));
    }
  }
  ::close(fd);
}

} // namespace
