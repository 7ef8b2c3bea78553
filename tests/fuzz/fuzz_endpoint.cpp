// The server field as the user (or an old settings file) gives it.
#include "mail/net/endpoint.h"
#include "tests/fuzz/fuzzsupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const QString text = QString::fromUtf8(fuzz::bytes(data, size));
  for (const auto protocol : {nmail::Protocol::Pop3, nmail::Protocol::Smtp}) {
    QString error;
    const auto endpoint = nmail::parseEndpoint(text, protocol, &error);
    if (endpoint) {
      if (endpoint->host.isEmpty() || endpoint->port == 0)
        std::abort(); // accepted, yet nowhere to connect to
      if (!endpoint->pinnedSha256.isEmpty() && endpoint->pinnedSha256.size() != 32)
        std::abort();
      endpoint->label();
    } else if (error.isEmpty()) {
      std::abort(); // refused without a word for the user
    }
  }
  return 0;
}
