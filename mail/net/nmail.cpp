// The NMail operations: a table of open POP3 sessions behind small integer
// handles, the text of the last failure, and the buffers the program passes.
#include "mail/net/nmail.h"

#include "mail/net/facestate.h"

#include "mail/mime/charset.h"
#include "mail/mime/mime.h"
#include "mail/net/endpoint.h"
#include "mail/net/pop3client.h"
#include "mail/net/smtpclient.h"
#include "mail/net/transportthread.h"
#include "platform/core/diskflush.h"

#include "platform/core/filesync.h"
#include "platform/core/wait.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <map>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nmail {

using namespace face;

QString newTextBuffer() {
  return QString(NMailBufferSize, QLatin1Char(' '));
}

QString cutAtNul(const QString &buffer) {
  const qsizetype nul = buffer.indexOf(QChar(0));
  return nul < 0 ? buffer : buffer.left(nul);
}

void setSmtpAccountProvider(std::function<SmtpAccount()> provider) {
  state().accountProvider = std::move(provider);
}

void setCertificatePinProvider(
    std::function<QByteArray(const QString &host, quint16 port)> provider) {
  state().pinProvider = std::move(provider);
}

void setPlaintextLoginPolicy(PlaintextLoginPolicy policy) {
  state().plaintextPolicy = std::move(policy);
}

std::optional<PlaintextRefusal> plaintextLoginRefused() {
  return state().plaintextRefused;
}

std::optional<ServerCertificate> rejectedCertificate() {
  return state().rejected;
}

QString fingerprintText(const QByteArray &sha256) {
  return QString::fromLatin1(sha256.toHex(':').toUpper());
}

void setNetworkTimeoutMs(int ms) {
  state().timeoutMs = ms > 0 ? ms : DefaultTimeoutMs;
}
void setMailBudgetMs(qint64 ms) {
  state().budgetMs = ms >= 0 ? ms : mime::MailBudgetMs;
}

int networkTimeoutMs() {
  return state().timeoutMs;
}

int NMailInitializeWinSock() {
  ensureMime();
  return 0;
}

int NMailSetOption(int option, int value) {
  // Option 1 is the size of the text buffers the program passes; the library
  // never writes more than that, and never more than NMailBufferSize.
  if (option == OptionBufferSize) {
    state().bufferSize = std::clamp(value, 1, NMailBufferSize);
    return 0;
  }
  return failWith(QStringLiteral("設定項目 %1 はありません。").arg(option));
}

int NMailEndWinSock() {
  // The program is ending: a send or receive still waiting gives up at once.
  setWaitsInterrupted(true);
  detail::setTransportThreadCleanup(closeAllSessions);
  detail::stopTransportThread();
  setWaitsInterrupted(false);
  state().lastRetrieved.reset();
  if (state().mimeStarted) {
    mime::shutdown();
    state().mimeStarted = false;
  }
  return 0;
}

int NMailPop3Connect(const QString &server) {
  state().rejected.reset();
  state().plaintextRefused.reset();
  QString error;
  auto endpoint = endpointOf(server, Protocol::Pop3, &error);
  if (!endpoint)
    return failWith(error);
  endpoint->tokenLogin = static_cast<bool>(currentAccount().accessToken);
  struct Opened {
    int handle = -1;
    QString error;
    std::optional<ServerCertificate> rejected;
    TlsSeen tls;
  };
  detail::setTransportThreadCleanup(closeAllSessions);
  Opened opened = detail::onTransportThread([&]() -> Opened {
    auto &open = sessions();
    if (open.size() >= MaxSessions)
      return {-1, QStringLiteral("同時に開ける接続は %1 までです。").arg(MaxSessions), {}, {}};
    auto s = std::make_unique<Session>();
    const bool connected = s->client.connectTo(*endpoint);
    const TlsSeen tls = tlsSeenBy(s->client);
    if (!connected)
      return {-1, s->client.errorText(), s->client.rejectedCertificate(), tls};
    int handle = 1;
    while (open.count(handle))
      ++handle;
    open.emplace(handle, std::move(s));
    return {handle, {}, {}, tls};
  });
  noteTls(*endpoint, opened.tls);
  if (opened.handle < 0) {
    state().rejected = opened.rejected;
    return failWith(opened.error);
  }
  return opened.handle;
}

namespace {

// The login with the account's access token; a token the server refuses is
// renewed once (it may have expired early, or been revoked while a new one
// can still be had).
int authenticateWithToken(int handle, const QString &id,
                          const std::function<AccessToken(bool renew)> &source) {
  for (int attempt = 0;; ++attempt) {
    QElapsedTimer waited;
    waited.start();
    const AccessToken token = source(attempt > 0);
    if (token.token.isEmpty())
      return failWith(token.error.isEmpty()
                          ? QStringLiteral("OAuth 2.0 のアクセストークンを取得できませんでした。")
                          : token.error);
    // The user may have signed in meanwhile, which takes longer than a
    // server keeps a connection that has not logged in: a fresh one then.
    const bool stale = waited.elapsed() > StaleBeforeLoginMs;
    bool refused = false;
    const auto count = withSession<int>(handle, [&](Pop3Client &client) -> std::optional<int> {
      if (stale && !client.reconnect())
        return std::nullopt;
      const auto n = client.authenticateWithToken(id, token.token);
      refused = !n && client.tokenRefused() && !client.isBroken();
      return n;
    });
    if (count.value)
      return *count.value;
    if (!refused || attempt > 0)
      return failWith(count.error);
  }
}

} // namespace

int NMailPop3Authenticate(int handle, const QString &id, const QString &password, int apop) {
  state().plaintextRefused.reset();
  const SmtpAccount account = currentAccount();
  if (account.accessToken)
    return authenticateWithToken(handle, id, account.accessToken);
  std::optional<PlaintextRefusal> refusal;
  const auto count = withSession<int>(handle, [&](Pop3Client &client) {
    const auto n = client.authenticate(id, password, apop != 0);
    if (!n)
      refusal = client.plaintextRefusal();
    return n;
  });
  if (!count.value) {
    state().plaintextRefused = refusal;
    return failWith(count.error);
  }
  return *count.value;
}

int NMailPop3GetMailStatus(int handle, int number, QString &subject, QString &date, QString &from,
                           QString &header, int /*flag*/) {
  const auto block =
      withSession<QByteArray>(handle, [&](Pop3Client &client) { return client.header(number); });
  if (!block.value) {
    fillHeaders({}, subject, date, from, header);
    return failWith(block.error);
  }
  ensureMime();
  fillHeaders(mime::decodeHeaders(*block.value), subject, date, from, header);
  return 0;
}

int NMailPop3GetMailSize(int handle, int number) {
  const auto answer =
      withSession<qint64>(handle, [&](Pop3Client &client) { return client.size(number); });
  if (!answer.value)
    return failWith(answer.error);
  const auto &size = answer.value;
  // The program makes a buffer one longer than this, and a buffer for a
  // size a server merely claims must not exhaust the memory: a size is told
  // up to the largest reply held in memory. A larger message is still
  // fetched whole into the file named for it (NMailPop3SetMailFile); the
  // receive takes the size for the text's buffer and the journal only, both
  // the same for the listing and for this call.
  return int(std::min<qint64>(*size, LineConnection::MaxMultiLine));
}

int NMailAttachmentTakeJoinedMail(QByteArray &raw) {
  auto joined = mime::takeJoinedMail();
  raw = joined ? std::move(*joined) : QByteArray();
  return joined ? 0 : -1;
}

int NMailAttachmentTakeJoinedMailFile(QString &path) {
  auto joined = mime::takeJoinedMailFile();
  path = joined.value_or(QString());
  return joined ? 0 : -1;
}

bool NMailLastMailOverBudget() {
  return state().lastOverBudget;
}

bool holdsFetchedMail() {
  return state().lastRetrieved.has_value();
}

QString readableText(const QByteArray &message) {
  ensureMime();
  return mime::readableBody(message);
}

int NMailAttachmentFileFirst(int /*id*/, const QString & /*subject*/, const QString & /*date*/,
                             const QString & /*from*/, const QString & /*header*/,
                             const QString & /*body*/, const QString &folder,
                             const QString & /*workFile*/, const QString &messageText,
                             int /*flag*/) {
  // The message as it came from the server holds the attachments whole; the
  // text the program passes is what it shows, which is only a stand-in when
  // no message was fetched just before.
  const mime::Source message =
      state().lastRetrieved ? *state().lastRetrieved : mime::Source(messageText.toUtf8());
  // The fetched message goes on with what its text left of its budget.
  std::shared_ptr<mime::Budget> budget = state().lastRetrieved ? state().budget : nullptr;
  if (!budget)
    budget = std::make_shared<mime::Budget>(state().budgetMs);
  // Its reading found no files in the fetched message: nothing to look for.
  const bool holdsFiles = !state().lastRetrieved || state().lastHoldsFiles;
  state().lastRetrieved.reset();
  state().budget.reset();
  mime::dropJoinedMail();
  QString dir = folder;
  while (dir.size() > 1 && (dir.endsWith(QLatin1Char('/')) || dir.endsWith(QLatin1Char('\\'))))
    dir.chop(1);
  ensureMime();
  int result = NMailAttachmentNone;
  if (!holdsFiles)
    result = mime::unpackNothing(dir);
  else
    readAgainstBudget(message, *budget,
                      [&] { result = mime::unpackAttachments(message, dir, budget.get()); });
  state().lastOverBudget = budget->exceeded();
  if (result == NMailAttachmentOpenError)
    state().lastError =
        QStringLiteral("添付ファイルをフォルダ %1 に書き込めませんでした。").arg(dir);
  return result;
}

int NMailAttachmentFileClose(int /*id*/) {
  return 0;
}

int NMailAttachmentFlush() {
  QString failed;
  if (!platform::writtenFiles().flush(&failed))
    return failWith(
        QStringLiteral("添付ファイル %1 をディスクに書き込めたか確認できません。").arg(failed));
  return 0;
}

int NMailPop3DeleteMail(int handle, int number) {
  const auto removed = withSession<bool>(
      handle, [&](Pop3Client &client) { return succeeded(client.remove(number)); });
  return removed.value ? 0 : failWith(removed.error);
}

int NMailPop3DeleteMailLater(int handle, int number) {
  detail::setTransportThreadCleanup(closeAllSessions);
  detail::postToTransportThread([handle, number] {
    const auto it = sessions().find(handle);
    if (it != sessions().end())
      it->second->client.remove(number);
  });
  return 0;
}

int NMailPop3GetListing(int handle, QList<int> &sizes, QStringList &uidls) {
  sizes.clear();
  uidls.clear();
  struct Listing {
    QList<int> sizes;
    QStringList uidls;
  };
  const auto answer = withSession<Listing>(handle, [&](Pop3Client &client) {
    Listing l;
    const int count = client.messageCount();
    for (int n = 1; n <= count; ++n) {
      const auto size = client.size(n);
      if (!size && client.isBroken())
        return std::optional<Listing>();
      l.sizes.append(size ? int(std::min<qint64>(*size, LineConnection::MaxMultiLine)) : -1);
      const auto uid = client.uniqueId(n);
      if (!uid && client.isBroken())
        return std::optional<Listing>();
      l.uidls.append(uid ? QString::fromLatin1(*uid) : QString());
    }
    return std::optional<Listing>(std::move(l));
  });
  if (!answer.value)
    return failWith(answer.error);
  sizes = answer.value->sizes;
  uidls = answer.value->uidls;
  return int(sizes.size());
}

int NMailPop3GetMailUidl(int handle, int number, QString &uidl) {
  uidl.clear();
  const auto uid =
      withSession<QByteArray>(handle, [&](Pop3Client &client) { return client.uniqueId(number); });
  if (!uid.value)
    return failWith(uid.error);
  uidl = QString::fromLatin1(*uid.value);
  return 0;
}

int NMailPop3SkipMails(int handle, const QList<int> &numbers) {
  const QSet<int> skipped(numbers.cbegin(), numbers.cend());
  const auto done = withSession<bool>(handle, [&](Pop3Client &client) {
    client.skip(skipped);
    return std::optional<bool>(true);
  });
  return done.value ? 0 : failWith(done.error);
}

int NMailPop3DeleteStoredMail(int handle, int number, const QString &uidl) {
  const QByteArray uid = uidl.toLatin1();
  const auto removed = withSession<bool>(
      handle, [&](Pop3Client &client) { return succeeded(client.removeStored(number, uid)); });
  return removed.value ? 0 : failWith(removed.error);
}

int NMailPop3Close(int handle, QList<int> *deleted) {
  detail::setTransportThreadCleanup(closeAllSessions);
  if (deleted)
    deleted->clear();
  const auto closed = detail::onTransportThread([&]() -> Answer<bool> {
    const auto it = sessions().find(handle);
    if (it == sessions().end())
      return {std::nullopt, noSessionText(handle)};
    const bool ok = it->second->client.quit();
    const QString error = it->second->client.errorText();
    if (deleted)
      *deleted = it->second->client.deletedAtQuit().values();
    sessions().erase(it);
    dropReady(handle);
    return {succeeded(ok), error};
  });
  state().fetched.reset();
  state().mailFiles.removeIf([&](const State::MailFile &f) { return f.handle == handle; });
  return closed.value ? 0 : failWith(closed.error);
}

int NMailPop3Abandon(int handle) {
  detail::setTransportThreadCleanup(closeAllSessions);
  const auto abandoned = detail::onTransportThread([&]() -> Answer<bool> {
    const auto it = sessions().find(handle);
    if (it == sessions().end())
      return {std::nullopt, noSessionText(handle)};
    it->second->client.abort();
    sessions().erase(it);
    dropReady(handle);
    return {true, {}};
  });
  state().fetched.reset();
  state().mailFiles.removeIf([&](const State::MailFile &f) { return f.handle == handle; });
  return abandoned.value ? 0 : failWith(abandoned.error);
}

int NMailGetMessage(int /*id*/, QString &buffer, int &length) {
  const qsizetype capacity = std::min<qsizetype>(length > 0 ? length : 0, state().bufferSize);
  fill(buffer, state().lastError, capacity);
  return int(std::min<qsizetype>(state().lastError.size(), std::max<qsizetype>(capacity - 1, 0)));
}

QString lastErrorText() {
  QString buffer = newTextBuffer();
  int length = NMailBufferSize;
  NMailGetMessage(0, buffer, length);
  return cutAtNul(buffer);
}

} // namespace nmail
