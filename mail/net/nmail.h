// The mail transport: the NMail operations the program calls.
//
// Names, argument orders and result conventions are the ones the program was
// written against; behind them is our own POP3/APOP/SMTP client over
// QSslSocket and GMime for MIME. This folder is the only code that speaks
// POP3 or SMTP or includes GMime.
//
// Text buffers are QStrings that the caller creates; the library writes its
// text into them followed by a NUL and never lets a buffer grow past
// NMailBufferSize characters (the body buffer: past the length the caller
// gave it). Callers cut every buffer at its first NUL (cutAtNul).
#pragma once

#include "mail/mime/unpackresult.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace nmail {

inline constexpr int NMailBufferSize = 8192;

// Results of NMailAttachmentFileFirst: mail/mime/unpackresult.h.

// Result of NMailPop3GetMail when the message came whole but its file (see
// NMailPop3SetMailFile) could not be written; the file is removed.
inline constexpr int NMailMailFileError = -7;
// Result of NMailPop3GetMail when the server sent the message far past the
// size it listed, or took far longer than that size allows: the message is
// left on the server, and fetched again it is likely to meet the same.
inline constexpr int NMailMailBeyondListing = -8;

int NMailInitializeWinSock();
int NMailSetOption(int option, int value);
int NMailEndWinSock();

// Handle >= 0, or -1 when no connection was opened.
int NMailPop3Connect(const QString &server);
// > 0 messages waiting, 0 none, < 0 failure (text via NMailGetMessage).
int NMailPop3Authenticate(int handle, const QString &id, const QString &password, int apop);
int NMailPop3GetMailStatus(int handle, int number, QString &subject, QString &date, QString &from,
                           QString &header, int flag);
int NMailPop3GetMailSize(int handle, int number);
int NMailPop3GetMail(int handle, int number, QString &subject, QString &date, QString &from,
                     QString &header, QString &body, int flag1, int flag2);
// NMailPop3GetMail with the body buffer's length given apart from the
// buffer: `body` comes back as the text and its NUL, at most `bodyLength`
// characters with it, and takes the memory of that text only, not of the
// length (sized by a mail's size, that is the size of its attachments).
int NMailPop3GetMailText(int handle, int number, QString &subject, QString &date, QString &from,
                         QString &header, QString &body, qsizetype bodyLength);
// The next NMailPop3GetMail of `number` writes the message, exactly as the
// server sent it (dot-unstuffed, CR LF), into the new file `path` (made
// 0600; none may be there) while it arrives, instead of holding it whole in
// memory; the texts and, in NMailAttachmentFileFirst, the attachments are
// then read from that file. A fetch that fails removes the file; the file
// is not synced (the caller flushes it before QUIT).
int NMailPop3SetMailFile(int handle, int number, const QString &path);
// The size in octets of the message the last NMailPop3GetMail fetched, -1
// when the last fetch was of another number or failed.
qint64 NMailPop3GetMailFetchedSize(int handle, int number);
int NMailAttachmentFileFirst(int id, const QString &subject, const QString &date,
                             const QString &from, const QString &header, const QString &body,
                             const QString &folder, const QString &workFile,
                             const QString &messageText, int flag);
int NMailAttachmentFileClose(int id);
// Puts every file and folder the attachment step wrote since the last call
// (attachments, kept parts of split mails) on the disk. 0, or -1 when one
// could not be flushed (text via NMailGetMessage).
int NMailAttachmentFlush();
int NMailPop3DeleteMail(int handle, int number);
// NMailPop3DeleteMail without waiting for the transport: the deletion is
// handed over and takes its place before every later call's work. A refusal
// (a message never fetched whole) keeps the message on the server, unseen by
// the caller. Always 0.
int NMailPop3DeleteMailLater(int handle, int number);
// The whole maildrop at once: the size of every message (as
// NMailPop3GetMailSize gives it, -1 where the server lists none) and its
// unique id (empty where the server has none), by number from 1. The number
// of messages, or -1 (text via NMailGetMessage).
int NMailPop3GetListing(int handle, QList<int> &sizes, QStringList &uidls);
// QUIT, after the deletions handed over. With `deleted`, the numbers of the
// messages the server confirmed it deleted (DELE accepted, QUIT answered).
int NMailPop3Close(int handle, QList<int> *deleted = nullptr);
// The server's unique id (UIDL) of a message: 0 with the id in `uidl`, or -1
// when the server has none for it (UIDL is optional in POP3).
int NMailPop3GetMailUidl(int handle, int number, QString &uidl);
// The messages the program will not fetch in this session (kept on the
// server, or stored before and only to be deleted): the transport never
// fetches them ahead. 0, or -1 without a session.
int NMailPop3SkipMails(int handle, const QList<int> &numbers);
// Deletes a message stored in an earlier session that never reached QUIT,
// without fetching it again: only when its unique id is still `uidl`.
int NMailPop3DeleteStoredMail(int handle, int number, const QString &uidl);
// The message NMailPop3GetMail fetched last, exactly as the server sent it
// (dot-unstuffed, CR LF): 0 with it in `raw`, -1 when the last fetch was of
// another number or failed. Shares the transport's copy, or reads the file
// it was written to; nothing is fetched again.
int NMailPop3GetMailRaw(int handle, int number, QByteArray &raw);
// Ends a session without QUIT, so the server deletes nothing of it. The
// receive routine uses it when it cannot be sure its records reached the disk.
int NMailPop3Abandon(int handle);
// 0 or above: sent. Below 0: failure (text via NMailGetMessage).
int NMailSmtpSendMail(const QString &server, const QString &to, const QString &cc,
                      const QString &bcc, const QString &from, const QString &subject,
                      const QString &body, const QString &header, const QString &attachments,
                      int flag);
int NMailGetMessage(int id, QString &buffer, int &length);
// The message the last successful NMailSmtpSendMail handed to the server,
// exactly as it went (CR LF, before dot-stuffing): 0 with it in `raw`, -1
// when none was sent.
int NMailSmtpGetSentMail(QByteArray &raw);
// The same mail, empty when none was sent.
QByteArray lastSentMail();
// The whole mail that the last NMailAttachmentFileFirst joined from the
// parts of a split mail: 0 with it in `raw` (taken: a second call gives -1),
// -1 when that call joined none.
int NMailAttachmentTakeJoinedMail(QByteArray &raw);
// The same mail as a file, without reading it into memory: 0 with its path
// in `path` (the caller's from now on: it moves or removes the file), -1
// when the last NMailAttachmentFileFirst joined none. A file nobody takes is
// removed by the next NMailAttachmentFileFirst.
int NMailAttachmentTakeJoinedMailFile(QString &path);

// Whether reading the mail fetched last went past its time budget (ten
// seconds for its text, its HTML and its attachments together, on a worker
// thread): its text is then what was read within the budget, and the
// attachments not yet written were left in the mail, which is kept whole.
// Set by NMailPop3GetMail / NMailPop3GetMailText and by the
// NMailAttachmentFileFirst that follows; cleared by the next fetch.
bool NMailLastMailOverBudget();
// Milliseconds of reading one mail may take (10 s); tests shorten it.
void setMailBudgetMs(qint64 ms);

// Whether NMailAttachmentFileFirst has a fetched message to unpack, so the
// text passed to it would only be a stand-in nobody reads.
bool holdsFetchedMail();

// What a person reads of a whole message, as NMailPop3GetMail fills the body
// buffer with it, without a length limit: the text decoded, HTML-only mail
// read as text, a line for each attachment.
QString readableText(const QByteArray &message);

// A fresh text buffer of NMailBufferSize blanks, as the program creates them.
QString newTextBuffer();
// The text of a buffer up to its first NUL.
QString cutAtNul(const QString &buffer);
// The transport's text for its last failure: NMailGetMessage into a fresh
// buffer, cut at its NUL.
QString lastErrorText();

// An OAuth 2.0 access token for the account, or the Japanese text of why
// there is none (the sign-in was refused or is needed, the token command
// failed).
struct AccessToken {
  QByteArray token;
  QString error;
};

// SMTP AUTH takes the POP3 account's user ID and password. The send call
// carries no credentials, so the program gives the transport a provider at
// start-up that reads the account profile when a mail is sent.
//
// An account that signs in with OAuth 2.0 instead of a password carries its
// token source: POP3 (whatever password the login call is given) and SMTP
// then log in with SASL OAUTHBEARER or XOAUTH2, only over TLS. The source is
// called on the calling thread when a login needs a token; `renew` is set
// when the server refused the last one (the transport tries once more).
struct SmtpAccount {
  QString userId;
  QString password;
  std::function<AccessToken(bool renew)> accessToken = nullptr;
};
void setSmtpAccountProvider(std::function<SmtpAccount()> provider);

// Certificates the user chose to trust, one per server (host and port). The
// program keeps them; the transport asks for the SHA-256 (32 bytes, of the
// DER form) each time it connects, and accepts exactly that certificate for
// that server. An empty answer: the system's certificate authorities decide.
// A fingerprint written in the server setting itself ("#sha256=…") comes
// first.
void setCertificatePinProvider(
    std::function<QByteArray(const QString &host, quint16 port)> provider);

// Without TLS a password crosses the network readable by anyone on the way.
// The transport sends PASS, APOP or AUTH over an unencrypted connection only
// to a server (host and port) the user agreed to, and never to one that
// offered TLS before or has a trusted certificate. The program keeps both
// facts; the transport asks each time it connects and reports every server
// that offers STLS or STARTTLS. Without a policy nothing is agreed.
struct PlaintextLoginPolicy {
  std::function<bool(const QString &host, quint16 port)> agreed;
  std::function<bool(const QString &host, quint16 port)> offeredTlsBefore;
  std::function<void(const QString &host, quint16 port)> offersTls;
};
void setPlaintextLoginPolicy(PlaintextLoginPolicy policy);

// Why the last NMailPop3Connect or NMailSmtpSendMail stopped before sending
// a password unencrypted; nothing when it did not stop for that.
struct PlaintextRefusal {
  QString host;
  quint16 port = 0;
  // The server offered TLS before or has a trusted certificate: a warning,
  // never a question.
  bool downgrade = false;
};
std::optional<PlaintextRefusal> plaintextLoginRefused();

// The certificate that made the last NMailPop3Connect or NMailSmtpSendMail
// fail, so that the program can show it and ask whether to trust it.
struct ServerCertificate {
  QString host;
  quint16 port = 0;
  QString subject; // e.g. "CN=mail.example.jp, O=Example"
  QString issuer;
  QDateTime effectiveDate;
  QDateTime expiryDate;
  QByteArray sha256; // 32 bytes
  // True when a pinned certificate was expected and this one differs from it.
  bool changed = false;
  // Why the certificate cannot be trusted by the user's word (a name that is
  // not the server's, an expired one), or empty when its one fault is an
  // issuer nobody vouches for.
  QString refusal;
};
std::optional<ServerCertificate> rejectedCertificate();
// "AB:CD:…" for showing a fingerprint.
QString fingerprintText(const QByteArray &sha256);

// Milliseconds every network wait may last before it fails (connect, each read,
// each write). Tests shorten it.
void setNetworkTimeoutMs(int ms);
int networkTimeoutMs();

// Ends every network wait in progress at once, and fails every later one,
// as a broken connection (the window is closing during a check): true from
// any thread; false lets the waits run again.
void setWaitsInterrupted(bool interrupted);
bool waitsInterrupted();

// The user's 中止 of a receive: ends at once the wait in progress of every
// POP3 session open (or opening) now, and fails its every later wait as
// stopped. Such a session can only end without QUIT, so the server deletes
// nothing of it. Sessions opened afterwards are not touched, nor is a send.
// From any thread.
void stopReceiving();

} // namespace nmail
