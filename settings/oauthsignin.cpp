#include "settings/oauthsignin.h"

#include "platform/browser.h"
#include "platform/core/clock.h"
#include "platform/messagebox.h"
#include "settings/config.h"
#include "settings/oauthloopback.h"
#include "settings/oauthsettings.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QOAuth2AuthorizationCodeFlow>
#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrlQuery>

#include <memory>
#include <optional>
#include <utility>

namespace settings::oauth {

namespace {

// An access token is renewed this long before the provider says it expires,
// so that it does not run out between the check and the login.
constexpr int RenewAheadSecs = 60;
// The most of a token command's output read, and the longest token taken.
constexpr qsizetype MaxCommandOutput = 64 * 1024;
// The most read of an answer of the token endpoint; a token response is a
// few kilobytes.
constexpr qint64 MaxTokenAnswer = 64 * 1024;
const char *const TooLongProperty = "korvexTooLong";

struct Held {
  QByteArray token;
  std::optional<QDateTime> expires; // UTC; none when the provider named no lifetime
  QString tokenUrl;                 // the provider it came from
  QString clientId;
};
std::optional<Held> held;
// Why the provider last refused the refresh token: until the next sign-in
// or change of the settings, an unattended check fails for this reason (and
// says so in the same words) rather than for the refresh token it no longer has.
std::optional<QString> refusal;

QByteArray randomUrlSafe(int bytes) {
  QByteArray raw(bytes, Qt::Uninitialized);
  for (char &c : raw)
    c = char(QRandomGenerator::system()->bounded(256));
  return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// The provider's {"error": …, "error_description": …}, short, for a message.
QString providerSaid(const QByteArray &body) {
  const QJsonObject o = QJsonDocument::fromJson(body).object();
  QString text = o.value(QStringLiteral("error")).toString();
  const QString description = o.value(QStringLiteral("error_description")).toString();
  if (!description.isEmpty())
    text += QStringLiteral("：") + description;
  if (text.isEmpty())
    return {};
  return QStringLiteral("（認可サーバーの応答：%1）").arg(text.left(200));
}

void keep(const Provider &p, const QByteArray &token, int expiresIn) {
  Held h{token, std::nullopt, p.tokenUrl, p.clientId};
  if (expiresIn > 0)
    h.expires = platform::utcNow().addSecs(expiresIn);
  held = std::move(h);
}

bool heldIsFresh(const Provider &p) {
  if (!held || held->tokenUrl != p.tokenUrl || held->clientId != p.clientId)
    return false;
  return !held->expires || platform::utcNow().addSecs(RenewAheadSecs) < *held->expires;
}

// Waits in a local event loop until `done()` or `timeoutMs` passed.
void waitUntil(const std::function<bool()> &done, int timeoutMs,
               const std::function<void(QEventLoop &)> &wire) {
  if (done())
    return;
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  wire(loop);
  deadline.start(timeoutMs);
  while (!done() && deadline.isActive())
    loop.exec();
}

TokenResult runCommand(const QString &command) {
  QStringList parts = QProcess::splitCommand(command);
  if (parts.isEmpty())
    return {{}, QStringLiteral("トークンコマンドが設定されていません。"
                               "「設定」→「ID/PASS」で設定して下さい。")};
  // The user's own command line, split as a shell would split it, but run
  // without one: nothing in it is expanded or run besides the program.
  QProcess process;
  process.setProgram(parts.takeFirst());
  process.setArguments(parts);
  process.setStandardInputFile(QProcess::nullDevice());
  process.setProcessChannelMode(QProcess::SeparateChannels);
  process.start();
  waitUntil([&] { return process.state() == QProcess::NotRunning; }, CommandTimeoutMs,
            [&](QEventLoop &loop) {
              QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
              QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
            });
  const QString program = process.program();
  if (process.state() != QProcess::NotRunning) {
    process.kill();
    process.waitForFinished(2000);
    return {{}, QStringLiteral("トークンコマンド「%1」が %2 秒以内に終わりませんでした。")
                    .arg(program)
                    .arg(CommandTimeoutMs / 1000)};
  }
  if (process.error() == QProcess::FailedToStart)
    return {{}, QStringLiteral("トークンコマンド「%1」を起動できませんでした。"
                               "コマンドの設定を確かめて下さい。")
                    .arg(program)};
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
    return {{}, QStringLiteral("トークンコマンド「%1」が失敗しました（終了コード %2）。")
                    .arg(program)
                    .arg(process.exitCode())};
  const QByteArray out = process.readAllStandardOutput().left(MaxCommandOutput);
  const QByteArray token = out.split('\n').value(0).trimmed();
  if (token.isEmpty())
    return {{}, QStringLiteral("トークンコマンド「%1」がアクセストークンを出力しませんでした。")
                    .arg(program)};
  return {token, {}};
}

struct RefreshOutcome {
  bool ok = false;
  bool refused = false; // the provider refused the refresh token itself
  QString error;
};

// The requests to the token endpoint carry the code, the PKCE verifier, the
// client secret or the refresh token: they follow no redirect (RFC 6749 3.2
// lets the endpoint send none, and one could take them to another address),
// and an answer is read only as far as a token response can go.
class TokenEndpointManager final : public QNetworkAccessManager {
protected:
  QNetworkReply *createRequest(Operation op, const QNetworkRequest &original,
                               QIODevice *outgoingData) override {
    QNetworkRequest request(original);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, outgoingData);
    // The reply holds at most one byte past the limit and cannot finish
    // while it is full: a longer answer is found here, never read whole.
    reply->setReadBufferSize(MaxTokenAnswer + 1);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
      if (reply->bytesAvailable() > MaxTokenAnswer && !reply->property(TooLongProperty).toBool()) {
        reply->setProperty(TooLongProperty, true);
        reply->abort();
      }
    });
    return reply;
  }
};

QString tooLongText() {
  return QStringLiteral("認可サーバーの応答が長すぎるため、読むのをやめました。");
}

// One manager for the program's life (the window's thread): Qt's HTTP
// connections outlive a manager that made them.
QNetworkAccessManager &networkManager() {
  static QNetworkAccessManager *manager = new TokenEndpointManager();
  return *manager;
}

RefreshOutcome refresh(const Provider &p, const QByteArray &refreshToken) {
  QNetworkAccessManager &manager = networkManager();
  QNetworkRequest request{QUrl(p.tokenUrl)};
  request.setHeader(QNetworkRequest::ContentTypeHeader,
                    QByteArrayLiteral("application/x-www-form-urlencoded"));
  request.setRawHeader("Accept", "application/json");
  request.setTransferTimeout(RefreshTimeoutMs);
  QUrlQuery form;
  form.addQueryItem(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
  form.addQueryItem(QStringLiteral("refresh_token"), QString::fromLatin1(refreshToken));
  form.addQueryItem(QStringLiteral("client_id"), p.clientId);
  if (!p.clientSecret.isEmpty())
    form.addQueryItem(QStringLiteral("client_secret"), p.clientSecret);
  std::unique_ptr<QNetworkReply> reply(
      manager.post(request, form.toString(QUrl::FullyEncoded).replace(QLatin1Char('+'), QStringLiteral("%2B")).toLatin1()));
  waitUntil([&] { return reply->isFinished(); }, RefreshTimeoutMs + 5000,
            [&](QEventLoop &loop) {
              QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
            });
  if (!reply->isFinished()) {
    reply->abort();
    return {false, false, QStringLiteral("認可サーバーからアクセストークンを受け取れませんでした"
                                         "（応答がありません）。")};
  }
  if (reply->property(TooLongProperty).toBool())
    return {false, false, tooLongText()};
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray body = reply->readAll().left(MaxTokenAnswer);
  const QJsonObject o = QJsonDocument::fromJson(body).object();
  if (status == 200 && !o.value(QStringLiteral("access_token")).toString().isEmpty()) {
    const Provider from = p;
    keep(from, o.value(QStringLiteral("access_token")).toString().toLatin1(),
         o.value(QStringLiteral("expires_in")).toVariant().toInt());
    // A provider that rotates refresh tokens sends a new one each time; the
    // old one is dead from now on.
    const QByteArray next = o.value(QStringLiteral("refresh_token")).toString().toLatin1();
    if (!next.isEmpty() && next != refreshToken &&
        !writeRefreshToken({p.tokenUrl, p.clientId, next}))
      return {true, false,
              QStringLiteral("新しいリフレッシュトークンをデータフォルダに保存できませんでした。")};
    return {true, false, {}};
  }
  if ((status == 400 || status == 401) &&
      o.value(QStringLiteral("error")).toString() == QLatin1String("invalid_grant"))
    return {false, true,
            QStringLiteral("サインインの有効期限が切れたか、取り消されました%1。").arg(providerSaid(body))};
  if (status == 0)
    return {false, false, QStringLiteral("認可サーバーに接続できませんでした（%1）。")
                              .arg(reply->errorString())};
  return {false, false, QStringLiteral("認可サーバーがアクセストークンの更新を断りました（HTTP %1）%2。")
                            .arg(status)
                            .arg(providerSaid(body))};
}

// What a finished sign-in obtained.
struct Grant {
  Provider provider;
  QByteArray access;
  QByteArray refresh; // empty: the provider gave none
  int expiresIn = 0;
};

// Keeps a grant: the access token in memory, the refresh token in its file.
// False when the refresh token could not be written.
bool adopt(const Grant &grant) {
  refusal.reset();
  keep(grant.provider, grant.access, grant.expiresIn);
  if (grant.refresh.isEmpty())
    return removeRefreshToken();
  return writeRefreshToken({grant.provider.tokenUrl, grant.provider.clientId, grant.refresh});
}

// One sign-in in the browser: the flow, its loopback listener and the
// deadline, gone when it ends. `adoptAtOnce`: its tokens are kept as soon as
// it succeeds; otherwise they wait in `grant()` for the caller.
class SignInSession {
public:
  SignInSession(const Provider &p, bool adoptAtOnce,
                std::function<void(bool, const QString &)> done)
      : provider_(p), adoptAtOnce_(adoptAtOnce), done_(std::move(done)), flow_(&manager_) {}

  void start() {
    const QString problem = providerProblem(provider_);
    if (!problem.isEmpty())
      return finish(false, QStringLiteral("サインインできません。") + problem);
    // The redirect comes back to this machine only (RFC 8252), on a port
    // the system picks.
    handler_ = new LoopbackReplyHandler(&flow_);
    if (!handler_->isListening())
      return finish(false, QStringLiteral("サインインの応答を受け取る準備ができませんでした"
                                          "（127.0.0.1 で待ち受けできません）。"));
    flow_.setReplyHandler(handler_);
    flow_.setAuthorizationUrl(QUrl(provider_.authorizationUrl));
    flow_.setAccessTokenUrl(QUrl(provider_.tokenUrl));
    flow_.setClientIdentifier(provider_.clientId);
    if (!provider_.clientSecret.isEmpty())
      flow_.setClientIdentifierSharedKey(provider_.clientSecret);
    flow_.setScope(provider_.scope);
    state_ = QString::fromLatin1(randomUrlSafe(24));
    flow_.setState(state_);
    handler_->setExpectedState(state_);
    // PKCE (RFC 7636, S256): only the program that started the sign-in can
    // exchange the code the browser brings back.
    const QByteArray verifier = randomUrlSafe(48);
    const QByteArray challenge =
        QCryptographicHash::hash(verifier, QCryptographicHash::Sha256)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    // The account's mail address, so the provider's page asks for the right
    // account.
    const QString id = accountInUse().id.trimmed();
    const QString hint = id.contains(QLatin1Char('@')) ? id : QString();
    flow_.setModifyParametersFunction(
        [verifier, challenge, hint](QAbstractOAuth::Stage stage, QMultiMap<QString, QVariant> *params) {
          if (stage == QAbstractOAuth::Stage::RequestingAuthorization) {
            params->replace(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
            params->replace(QStringLiteral("code_challenge_method"), QStringLiteral("S256"));
            if (!hint.isEmpty())
              params->replace(QStringLiteral("login_hint"), hint);
          } else if (stage == QAbstractOAuth::Stage::RequestingAccessToken) {
            params->replace(QStringLiteral("code_verifier"), QString::fromLatin1(verifier));
          }
        });
    QObject::connect(&flow_, &QAbstractOAuth::authorizeWithBrowser, &flow_, [this](const QUrl &url) {
      if (!platform::openInBrowser(url))
        finish(false, QStringLiteral("ブラウザーを開けませんでした。"));
    });
    QObject::connect(handler_, &QAbstractOAuthReplyHandler::callbackReceived, &flow_,
                     [this](const QVariantMap &values) { onCallback(values); });
    QObject::connect(handler_, &QAbstractOAuthReplyHandler::tokensReceived, &flow_,
                     [this](const QVariantMap &values) {
                       expiresIn_ = values.value(QStringLiteral("expires_in")).toInt();
                     });
    // The flow says nothing when the token endpoint refuses the code: its
    // reply is read here (without taking it from the flow).
    QObject::connect(&manager_, &QNetworkAccessManager::finished, &flow_,
                     [this](QNetworkReply *reply) {
                       if (!reply->url().matches(QUrl(provider_.tokenUrl), QUrl::RemoveQuery))
                         return;
                       const int status =
                           reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                       if (reply->property(TooLongProperty).toBool())
                         finish(false, tooLongText());
                       else if (status == 0)
                         finish(false, QStringLiteral("認可サーバーに接続できませんでした（%1）。")
                                           .arg(reply->errorString()));
                       else if (status != 200)
                         finish(false, QStringLiteral("認可サーバーがサインインを受け付けませんでした"
                                                      "（HTTP %1）%2。")
                                           .arg(status)
                                           .arg(providerSaid(reply->peek(MaxTokenAnswer))));
                     });
    QObject::connect(&flow_, &QAbstractOAuth2::error, &flow_,
                     [this](const QString &error, const QString &description, const QUrl &) {
                       finish(false, QStringLiteral("サインインできませんでした（%1）。")
                                         .arg((error + QStringLiteral("：") + description).left(200)));
                     });
    QObject::connect(&flow_, &QAbstractOAuth::granted, &flow_, [this] { onGranted(); });
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, &flow_, [this] {
      finish(false, QStringLiteral("時間内にサインインが終わりませんでした。"
                                   "もう一度「サインイン」をクリックして下さい。"));
    });
    deadline_.start(SignInTimeoutMs);
    flow_.grant();
  }

  void finish(bool ok, const QString &text) {
    if (finished_)
      return;
    finished_ = true;
    deadline_.stop();
    if (handler_)
      handler_->close();
    // The caller may start the next sign-in from `done`: this one is gone
    // by then.
    auto done = std::move(done_);
    QTimer::singleShot(0, [done, ok, text] { done(ok, text); });
  }
  bool finished() const { return finished_; }
  // What the sign-in obtained and nobody kept yet.
  std::optional<Grant> takeGrant() { return std::exchange(grant_, std::nullopt); }

private:
  void onCallback(const QVariantMap &values) {
    // The listener hands over only an answer with this sign-in's state: a
    // redirect this program did not ask for (another tab, an attacker's
    // link) is never exchanged.
    if (values.value(QStringLiteral("state")).toString() != state_)
      return;
    const QString error = values.value(QStringLiteral("error")).toString();
    if (!error.isEmpty())
      finish(false, error == QLatin1String("access_denied")
                        ? QStringLiteral("サインインが拒否されました。")
                        : QStringLiteral("サインインできませんでした（%1）。").arg(error.left(100)));
  }

  void onGranted() {
    if (finished_)
      return;
    Grant grant{provider_, flow_.token().toLatin1(), flow_.refreshToken().toLatin1(), expiresIn_};
    if (grant.access.isEmpty())
      return finish(false, QStringLiteral("認可サーバーからアクセストークンを受け取れませんでした。"));
    const bool noRefresh = grant.refresh.isEmpty();
    if (!adoptAtOnce_)
      grant_ = grant;
    else if (!adopt(grant))
      return finish(true, refreshTokenNotSavedText());
    if (noRefresh)
      return finish(true, QStringLiteral("サインインしました。このプロバイダーはリフレッシュトークンを"
                                         "出さないため、期限が切れたらもう一度サインインが必要です。"));
    finish(true, QStringLiteral("サインインしました。"));
  }

  Provider provider_;
  bool adoptAtOnce_;
  std::function<void(bool, const QString &)> done_;
  TokenEndpointManager manager_;
  QOAuth2AuthorizationCodeFlow flow_;
  LoopbackReplyHandler *handler_ = nullptr;
  QTimer deadline_;
  QString state_;
  int expiresIn_ = 0;
  bool finished_ = false;
  std::optional<Grant> grant_;
};

std::unique_ptr<SignInSession> session;

QString signInAdvice(const QString &why) {
  return why + QStringLiteral("「受信」をクリックすると、ブラウザーでサインインし直せます"
                              "（「設定」→「ID/PASS」の「サインイン」でも同じです）。");
}

void startSession(const Provider &p, bool adoptAtOnce,
                  std::function<void(bool ok, const QString &text)> done) {
  if (session && !session->finished())
    session->finish(false, QStringLiteral("新しいサインインを始めたため、前のサインインをやめました。"));
  // The session that ended is deleted once its `done` ran.
  auto ended = std::move(session);
  if (ended)
    QTimer::singleShot(0, [raw = ended.release()] { delete raw; });
  if (adoptAtOnce)
    held.reset();
  session = std::make_unique<SignInSession>(p, adoptAtOnce, std::move(done));
  session->start();
}

} // namespace

void signIn(std::function<void(bool ok, const QString &text)> done) {
  startSession(provider(load()), true, std::move(done));
}

void signInFor(const Provider &provider, std::function<void(bool ok, const QString &text)> done) {
  startSession(provider, false, std::move(done));
}

bool adoptSignIn() {
  const std::optional<Grant> grant = session ? session->takeGrant() : std::nullopt;
  return !grant || adopt(*grant);
}

QString refreshTokenNotSavedText() {
  return QStringLiteral("サインインしましたが、リフレッシュトークンをデータフォルダに"
                        "保存できませんでした。次に起動したときにはもう一度サインインが必要です。");
}

bool signInRunning() {
  return session && !session->finished();
}

void cancelSignIn() {
  if (signInRunning())
    session->finish(false, QStringLiteral("サインインをやめました。"));
  if (session)
    session->takeGrant();
}

void forgetAccessToken() {
  held.reset();
  refusal.reset();
}

TokenResult accessToken(bool renew, bool mayAsk) {
  const AccountSettings account = load();
  if (account.method == Method::Command) {
    // The command is the user's own helper: it keeps and renews its tokens.
    return runCommand(account.command);
  }
  if (account.method == Method::Password)
    return {{}, QStringLiteral("このアカウントはパスワードでログインする設定です。")};
  const Provider p = provider(account);
  if (const QString problem = providerProblem(p); !problem.isEmpty())
    return {{}, QStringLiteral("OAuth 2.0 の設定が足りません。") + problem +
                    QStringLiteral("「設定」→「ID/PASS」で設定して下さい。")};
  if (!renew && heldIsFresh(p))
    return {held->token, {}};
  held.reset();

  QString why = refusal.value_or(QStringLiteral("OAuth 2.0 でサインインしていません。"));
  const auto stored = readRefreshToken();
  if (stored && stored->tokenUrl == p.tokenUrl && stored->clientId == p.clientId) {
    const RefreshOutcome r = refresh(p, stored->token);
    if (r.ok)
      return {held->token, {}};
    if (!r.refused)
      return {{}, r.error}; // the provider may answer later: the refresh token stays
    // Refused: it will never work again, and no password or other way is
    // tried in its place.
    removeRefreshToken();
    why = r.error;
    refusal = why;
  }
  if (!mayAsk)
    return {{}, signInAdvice(why)};

  if (platform::messageBox(nullptr,
                           why + QStringLiteral("\n\nブラウザーでサインインしますか？"),
                           QStringLiteral("サインイン"), platform::MsgButtons::YesNo,
                           platform::MsgIcon::Question) != platform::MsgAnswer::Yes)
    return {{}, QStringLiteral("サインインしなかったため、ログインしませんでした。")};
  bool ended = false, ok = false;
  QString text;
  signIn([&ended, &ok, &text](bool signedIn, const QString &t) {
    ended = true;
    ok = signedIn;
    text = t;
  });
  waitUntil([&] { return ended; }, SignInTimeoutMs + 5000, [](QEventLoop &loop) {
    // The sign-in ends through a queued call; the loop looks again after
    // each event.
    auto *poll = new QTimer(&loop);
    QObject::connect(poll, &QTimer::timeout, &loop, &QEventLoop::quit);
    poll->start(50);
  });
  if (!ended) {
    cancelSignIn();
    return {{}, QStringLiteral("時間内にサインインが終わりませんでした。")};
  }
  if (!ok || !held)
    return {{}, text};
  return {held->token, {}};
}

} // namespace settings::oauth
