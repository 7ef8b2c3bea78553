// The SMTP client reading whatever a server replies: greeting, EHLO with its
// extensions, AUTH challenges, the replies to MAIL, RCPT and DATA.
#include "mail/net/smtpclient.h"
#include "tests/fuzz/fuzzsupport.h"
#include "tests/fuzz/loopbackserver.h"

#include "mail/net/nmail.h"

namespace {
fuzz::LoopbackServer *server = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::startQt();
  server = new fuzz::LoopbackServer;
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
  nmail::SmtpEnvelope envelope;
  envelope.from = "a@example.jp";
  envelope.to = {"b@example.jp", "c@example.jp"};
  nmail::SmtpCredentials credentials;
  if (data[0] & 1) {
    credentials.user = QStringLiteral("user");
    credentials.password = QStringLiteral("secret");
  }
  nmail::SmtpClient client;
  client.send(endpoint, envelope, "Subject: x\r\n\r\n.body\r\n", credentials);
  server->finish();
  return 0;
}
