// A GMime stream over a file descriptor that reads with pread and serves the
// parser's small reads from a buffer of its own. GMime's own file stream
// seeks and reads the file for each of them: 4 KB at a time, some five
// thousand system calls for a mail of 10 MB. Otherwise it answers as GMime's
// file stream does (bounds, end of stream, substreams on the same file), and
// it only reads: the file must not change while it is read.
#pragma once

#include <gmime/gmime.h>

namespace nmail::mime::parts {

// A stream over `fd` from `start` to `end` (-1: the end of the file). It
// closes `fd` when it goes; its substreams share it and keep it open.
GMimeStream *newFileReadStream(int fd, gint64 start, gint64 end);

} // namespace nmail::mime::parts
