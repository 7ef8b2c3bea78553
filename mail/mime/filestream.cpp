#include "mail/mime/filestream.h"

#include "platform/core/filesync.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace nmail::mime::parts {

namespace {

// Reads smaller than this are served from a buffer this large.
constexpr gint64 BufferSize = 128 * 1024;

struct FileReadStream {
  GMimeStream parent;
  int fd;
  gboolean owner;
  gboolean eos;
  char *buffer;     // allocated at the first small read
  gint64 bufferAt;  // the file offset of buffer[0]
  gint64 buffered;  // bytes held from bufferAt on
};

struct FileReadStreamClass {
  GMimeStreamClass parent_class;
};

GType fileReadStreamType();

FileReadStream *self(GMimeStream *stream) { return reinterpret_cast<FileReadStream *>(stream); }

// `len` bytes of the file from `at` (fewer at its end); -1 when an error
// came before any byte did.
ssize_t preadWhole(int fd, char *into, size_t len, gint64 at) {
  bool failed = false;
  const qint64 n = platform::readAt(fd, into, qint64(len), qint64(at), &failed);
  return n == 0 && failed ? -1 : ssize_t(n);
}

ssize_t streamRead(GMimeStream *stream, char *buf, size_t len) {
  FileReadStream *s = self(stream);
  if (s->fd < 0) {
    errno = EBADF;
    return -1;
  }
  // As GMime's file stream: a bounded stream at its end answers with an
  // error, an unbounded one with 0 and its end of stream set.
  if (stream->bound_end != -1 && stream->position >= stream->bound_end) {
    errno = EINVAL;
    return -1;
  }
  if (stream->bound_end != -1)
    len = size_t(std::min<gint64>(stream->bound_end - stream->position, gint64(len)));
  // Whole, as one read of the file gives it: from the buffer, then past it.
  size_t done = 0;
  ssize_t last = 0; // what the last read of the file gave
  while (done < len) {
    const gint64 at = stream->position + gint64(done);
    if (s->buffer && at >= s->bufferAt && at < s->bufferAt + s->buffered) {
      const size_t k = size_t(std::min<gint64>(gint64(len - done), s->bufferAt + s->buffered - at));
      std::copy_n(s->buffer + (at - s->bufferAt), k, buf + done);
      done += k;
      continue;
    }
    if (gint64(len - done) >= BufferSize) {
      last = preadWhole(s->fd, buf + done, len - done, at);
      if (last <= 0)
        break;
      done += size_t(last);
      continue;
    }
    if (!s->buffer)
      s->buffer = static_cast<char *>(g_malloc(BufferSize));
    gint64 want = BufferSize;
    if (stream->bound_end != -1)
      want = std::min(want, stream->bound_end - at);
    last = preadWhole(s->fd, s->buffer, size_t(want), at);
    s->bufferAt = at;
    s->buffered = std::max<ssize_t>(last, 0);
    if (last <= 0)
      break;
  }
  if (done > 0) {
    stream->position += gint64(done);
    return ssize_t(done);
  }
  if (last == 0)
    s->eos = TRUE;
  return last;
}

ssize_t streamWrite(GMimeStream *, const char *, size_t) {
  errno = EBADF;
  return -1;
}

int streamFlush(GMimeStream *) { return 0; }

int streamClose(GMimeStream *stream) {
  FileReadStream *s = self(stream);
  if (s->fd < 0)
    return 0;
  if (s->owner)
    ::close(s->fd);
  s->fd = -1;
  return 0;
}

gboolean streamEos(GMimeStream *stream) {
  FileReadStream *s = self(stream);
  return s->fd < 0 || s->eos;
}

int streamReset(GMimeStream *stream) {
  FileReadStream *s = self(stream);
  if (s->fd < 0) {
    errno = EBADF;
    return -1;
  }
  s->eos = FALSE;
  stream->position = stream->bound_start;
  return 0;
}

gint64 fileEnd(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? gint64(st.st_size) : -1;
}

gint64 streamSeek(GMimeStream *stream, gint64 offset, GMimeSeekWhence whence) {
  FileReadStream *s = self(stream);
  if (s->fd < 0) {
    errno = EBADF;
    return -1;
  }
  gint64 real = stream->position;
  switch (whence) {
  case GMIME_STREAM_SEEK_SET:
    real = offset;
    break;
  case GMIME_STREAM_SEEK_CUR:
    real = stream->position + offset;
    break;
  case GMIME_STREAM_SEEK_END:
    if (offset > 0 || (stream->bound_end == -1 && !s->eos)) {
      const gint64 end = fileEnd(s->fd);
      if (end < 0 || end + offset < 0) {
        errno = EINVAL;
        return -1;
      }
      real = end + offset;
    } else if (s->eos && stream->bound_end == -1) {
      real = stream->position + offset; // the end is where it stands
    } else {
      real = stream->bound_end + offset;
    }
    break;
  }
  if (real < stream->bound_start) {
    errno = EINVAL;
    return -1;
  }
  if (real == stream->position)
    return real;
  if (stream->bound_end != -1 && real > stream->bound_end) {
    errno = EINVAL;
    return -1;
  }
  if ((stream->bound_end != -1 && real < stream->bound_end) || (s->eos && real < stream->position))
    s->eos = FALSE;
  stream->position = real;
  return real;
}

gint64 streamTell(GMimeStream *stream) { return stream->position; }

gint64 streamLength(GMimeStream *stream) {
  if (stream->bound_end != -1)
    return stream->bound_end - stream->bound_start;
  const gint64 end = fileEnd(self(stream)->fd);
  return end < stream->bound_start ? -1 : end - stream->bound_start;
}

GMimeStream *make(int fd, gboolean owner, gint64 start, gint64 end) {
  auto *s = static_cast<FileReadStream *>(g_object_new(fileReadStreamType(), nullptr));
  s->fd = fd;
  s->owner = owner;
  g_mime_stream_construct(&s->parent, start, end);
  return &s->parent;
}

// GMime keeps the stream a substream is cut from alive as long as the
// substream, so the shared descriptor stays open.
GMimeStream *streamSubstream(GMimeStream *stream, gint64 start, gint64 end) {
  return make(self(stream)->fd, FALSE, start, end);
}

GObjectClass *parentClass = nullptr;

void streamFinalize(GObject *object) {
  FileReadStream *s = reinterpret_cast<FileReadStream *>(object);
  if (s->owner && s->fd >= 0)
    ::close(s->fd);
  g_free(s->buffer);
  parentClass->finalize(object);
}

void classInit(gpointer klass, gpointer) {
  parentClass = G_OBJECT_CLASS(g_type_class_peek_parent(klass));
  G_OBJECT_CLASS(klass)->finalize = streamFinalize;
  auto *c = static_cast<GMimeStreamClass *>(klass);
  c->read = streamRead;
  c->write = streamWrite;
  c->flush = streamFlush;
  c->close = streamClose;
  c->eos = streamEos;
  c->reset = streamReset;
  c->seek = streamSeek;
  c->tell = streamTell;
  c->length = streamLength;
  c->substream = streamSubstream;
}

void instanceInit(GTypeInstance *instance, gpointer) {
  FileReadStream *s = reinterpret_cast<FileReadStream *>(instance);
  s->fd = -1;
  s->owner = TRUE;
  s->eos = FALSE;
  s->buffer = nullptr;
  s->bufferAt = 0;
  s->buffered = 0;
}

GType fileReadStreamType() {
  static const GType type = [] {
    GTypeInfo info{};
    info.class_size = sizeof(FileReadStreamClass);
    info.class_init = classInit;
    info.instance_size = sizeof(FileReadStream);
    info.instance_init = instanceInit;
    return g_type_register_static(GMIME_TYPE_STREAM, "KorvexFileReadStream", &info, GTypeFlags(0));
  }();
  return type;
}

} // namespace

GMimeStream *newFileReadStream(int fd, gint64 start, gint64 end) {
  return make(fd, TRUE, start, end);
}

} // namespace nmail::mime::parts
