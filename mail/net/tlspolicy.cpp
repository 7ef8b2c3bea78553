// The TLS policy of the NMail face: the certificate the user chose to trust
// for a server, and whether a password may cross without encryption there.
#include "mail/net/facestate.h"

namespace nmail::face {

std::optional<Endpoint> endpointOf(const QString &server, Protocol protocol, QString *error) {
  auto endpoint = parseEndpoint(server, protocol, error);
  if (endpoint && endpoint->pinnedSha256.isEmpty() && state().pinProvider) {
    const QByteArray pin = state().pinProvider(endpoint->host, endpoint->port);
    if (pin.size() == 32)
      endpoint->pinnedSha256 = pin;
  }
  if (endpoint && !endpoint->implicitTls) {
    const PlaintextLoginPolicy &policy = state().plaintextPolicy;
    endpoint->plaintextLoginAgreed = policy.agreed && policy.agreed(endpoint->host, endpoint->port);
    endpoint->offeredTlsBefore =
        policy.offeredTlsBefore && policy.offeredTlsBefore(endpoint->host, endpoint->port);
  }
  return endpoint;
}

void noteTls(const Endpoint &endpoint, const TlsSeen &seen) {
  state().plaintextRefused = seen.plaintextRefusal;
  const PlaintextLoginPolicy &policy = state().plaintextPolicy;
  if (seen.offeredTls && !endpoint.offeredTlsBefore && policy.offersTls)
    policy.offersTls(endpoint.host, endpoint.port);
}

} // namespace nmail::face
