// Where a server setting points: host, port, TLS mode and an optional pinned
// certificate fingerprint. The settings hold what the user typed:
//
//   host                      default port (POP3 110, SMTP 25)
//   host:port                 port 995 (POP3) or 465 (SMTP) means TLS from the first byte
//   pop3://host[:port]        the same as without a scheme
//   pop3s://host[:port]       TLS from the first byte (default port 995)
//   smtp://host[:port]        the same as without a scheme
//   smtps://host[:port]       TLS from the first byte (default port 465)
//   [::1]:port                IPv6 literal with a port
//   ...#sha256=HEX            accept exactly the certificate whose SHA-256 (of its
//                             DER form) is HEX: 64 hex digits, colons allowed
//
// Without TLS from the first byte the clients upgrade with STLS / STARTTLS
// whenever the server offers it.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace nmail {

enum class Protocol { Pop3, Smtp };

struct Endpoint {
  QString host;
  quint16 port = 0;
  bool implicitTls = false;    // TLS from the first byte
  QByteArray pinnedSha256;     // 32 raw bytes, or empty: verify against the system's CAs
  bool pinFromSetting = false; // the pin was written in the server setting
  // Without TLS: the user agreed to send the password unencrypted to this
  // server, and the server offered TLS before (then it is refused whatever
  // was agreed: one that stops offering it may be someone in between).
  bool plaintextLoginAgreed = false;
  bool offeredTlsBefore = false;
  // The account signs in with an OAuth 2.0 access token: it goes only over
  // TLS, and without TLS nothing is sent and nobody is asked.
  bool tokenLogin = false;

  // host:port for messages, IPv6 literals in brackets.
  QString label() const;
};

// The endpoint of a server setting, or nothing with a Japanese explanation.
std::optional<Endpoint> parseEndpoint(const QString &text, Protocol protocol, QString *error);

} // namespace nmail
