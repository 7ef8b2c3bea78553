// The POP3 client reading whatever a server replies: greeting, CAPA, APOP
// timestamp, STAT, LIST, TOP and RETR with their dot-stuffed multi-line
// answers. The first byte picks APOP; the rest is the server's side.
#include "mail/net/nmail.h"
#include "mail/net/pop3client.h"
#include "tests/fuzz/fuzzsupport.h"
#include "tests/fuzz/loopbackserver.h"

namespace {
fuzz::LoopbackServer *server = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::startQt();
  server = new fuzz::LoopbackServer;
  // Everything the server says is there at once; a wait means it ended.
  nmail::setNetworkTimeoutMs(2000);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  server->serve(fuzz::bytes(data + 1, size - 1));
  nmail::Endpoint endpoint;
  endpoint.host = QStringLiteral("127.0.0.1");
  endpoint.port = server->port();
  // The replies after the login are the point: the user agreed to it in the clear.
  endpoint.plaintextLoginAgreed = true;
  nmail::Pop3Client client;
  if (client.connectTo(endpoint)) {
    if (const auto count =
            client.authenticate(QStringLiteral("user"), QStringLiteral("secret"), data[0] & 1)) {
      for (int n = 1; n <= std::min(*count, 3); ++n) {
        client.header(n);
        client.size(n);
        client.retrieve(n);
        client.remove(n);
      }
      client.quit();
    }
  }
  client.abort();
  server->finish();
  return 0;
}
