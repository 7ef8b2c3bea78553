#include "settings/idpassform.h"

#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/textbox.h"
#include "platform/twips.h"
#include "settings/config.h"
#include "settings/oauthsettings.h"
#include "settings/oauthsignin.h"

#include <QCheckBox>
#include <QFile>
#include <QComboBox>
#include <QPointer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

IdPassForm::IdPassForm(QWidget *parent) : QWidget(parent, Qt::Window) {
  setObjectName(QStringLiteral("IdPassForm"));
  setWindowTitle(QStringLiteral("ID,PASS"));

  Label1 = new QLabel(QStringLiteral("ID"), this);
  Label1->setObjectName(QStringLiteral("Label1"));
  IdText = new QLineEdit(this);
  IdText->setObjectName(QStringLiteral("IdText"));
  Label1->setBuddy(IdText);

  Label2[0] = new QLabel(QStringLiteral("Password"), this);
  Label2[0]->setObjectName(QStringLiteral("Label2(0)"));
  PassText = new QLineEdit(this);
  PassText->setObjectName(QStringLiteral("PassText"));
  PassText->setEchoMode(QLineEdit::Password);
  // Every character shows as "*", whatever the style's own mask character.
  PassText->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
  Label2[0]->setBuddy(PassText);

  // The box's own caption stays empty; the label beside it names it.
  Check1 = new QCheckBox(this);
  Check1->setObjectName(QStringLiteral("Check1"));
  Label2[1] = new QLabel(QStringLiteral("IDパスワードを保存する"), this);
  Label2[1]->setObjectName(QStringLiteral("Label2(1)"));
  Label2[1]->setBuddy(Check1);
  Check1->setAccessibleName(QStringLiteral("IDパスワードを保存する"));

  OKCommand = new QPushButton(QStringLiteral("OK"), this);
  OKCommand->setObjectName(QStringLiteral("OKCommand"));
  CancelCommand = new QPushButton(QStringLiteral("Cancel"), this);
  CancelCommand->setObjectName(QStringLiteral("CancelCommand"));

  platform::setTwipsGeometry(Label1, 240, 240, 1000, 300);
  platform::setTwipsGeometry(IdText, 1320, 200, 2600, 330);
  platform::setTwipsGeometry(Label2[0], 240, 720, 1000, 300);
  platform::setTwipsGeometry(PassText, 1320, 680, 2600, 330);
  platform::setTwipsGeometry(Check1, 1320, 1200, 255, 300);
  platform::setTwipsGeometry(Label2[1], 1620, 1200, 2300, 300);
  const auto label = [this](QLabel *&l, const char *name, const QString &text) {
    l = new QLabel(text, this);
    l->setObjectName(QString::fromLatin1(name));
  };
  const auto edit = [this](QLineEdit *&e, const char *name, QLabel *buddy) {
    e = new QLineEdit(this);
    e->setObjectName(QString::fromLatin1(name));
    buddy->setBuddy(e);
  };
  label(MethodLabel, "MethodLabel", QStringLiteral("ログイン方法"));
  MethodCombo = new QComboBox(this);
  MethodCombo->setObjectName(QStringLiteral("MethodCombo"));
  MethodCombo->addItems({QStringLiteral("パスワード"), QStringLiteral("OAuth 2.0（ブラウザーでサインイン）"),
                         QStringLiteral("トークンコマンド")});
  MethodLabel->setBuddy(MethodCombo);
  label(ProviderLabel, "ProviderLabel", QStringLiteral("プロバイダー"));
  ProviderCombo = new QComboBox(this);
  ProviderCombo->setObjectName(QStringLiteral("ProviderCombo"));
  ProviderLabel->setBuddy(ProviderCombo);
  label(ClientIdLabel, "ClientIdLabel", QStringLiteral("クライアントID"));
  edit(ClientIdText, "ClientIdText", ClientIdLabel);
  label(ClientSecretLabel, "ClientSecretLabel", QStringLiteral("クライアントシークレット"));
  edit(ClientSecretText, "ClientSecretText", ClientSecretLabel);
  label(AuthUrlLabel, "AuthUrlLabel", QStringLiteral("認可URL"));
  edit(AuthUrlText, "AuthUrlText", AuthUrlLabel);
  label(TokenUrlLabel, "TokenUrlLabel", QStringLiteral("トークンURL"));
  edit(TokenUrlText, "TokenUrlText", TokenUrlLabel);
  label(ScopeLabel, "ScopeLabel", QStringLiteral("スコープ"));
  edit(ScopeText, "ScopeText", ScopeLabel);
  label(CommandLabel, "CommandLabel", QStringLiteral("トークンコマンド"));
  edit(CommandText, "CommandText", CommandLabel);
  SignInCommand = new QPushButton(QStringLiteral("サインイン"), this);
  SignInCommand->setObjectName(QStringLiteral("SignInCommand"));
  SignInLabel = new QLabel(this);
  SignInLabel->setObjectName(QStringLiteral("SignInLabel"));
  SignInLabel->setWordWrap(true);
  SignInLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // No accessible name of its own: a screen reader reads the label's text,
  // and QLabel tells it when the text changes.
  SignInLabel->setAccessibleDescription(QStringLiteral("サインインの結果"));

  platform::setTwipsGeometry(MethodLabel, 240, 1680, 1000, 300);
  platform::setTwipsGeometry(MethodCombo, 1320, 1640, 3600, 330);
  int y = 2080;
  for (const auto &[l, w] : {std::pair<QLabel *, QWidget *>{ProviderLabel, ProviderCombo},
                             {ClientIdLabel, ClientIdText},
                             {ClientSecretLabel, ClientSecretText},
                             {AuthUrlLabel, AuthUrlText},
                             {TokenUrlLabel, TokenUrlText},
                             {ScopeLabel, ScopeText},
                             {CommandLabel, CommandText}}) {
    platform::setTwipsGeometry(l, 240, y + 40, 1900, 300);
    platform::setTwipsGeometry(w, 2160, y, 2760, 330);
    y += 420;
  }
  platform::setTwipsGeometry(SignInCommand, 2160, y, 1215, 375);
  platform::setTwipsGeometry(SignInLabel, 240, y + 440, 4680, 600);
  y += 1140;
  platform::setTwipsGeometry(OKCommand, 2160, y, 1215, 375);
  platform::setTwipsGeometry(CancelCommand, 3540, y, 1215, 375);
  setFixedSize(platform::twipsToPixelsX(5200), platform::twipsToPixelsY(y + 620));
  signInLabelHeight_ = SignInLabel->height();
  buttonsTop_ = OKCommand->y();
  windowHeight_ = height();

  platform::showTextFromStart(this);

  connect(OKCommand, &QPushButton::clicked, this, &IdPassForm::OkCommand_Click);
  connect(CancelCommand, &QPushButton::clicked, this, &IdPassForm::CancelCommand_Click);
  connect(SignInCommand, &QPushButton::clicked, this, &IdPassForm::SignInCommand_Click);
  connect(MethodCombo, &QComboBox::currentIndexChanged, this, &IdPassForm::MethodCombo_Change);
  connect(ProviderCombo, &QComboBox::currentIndexChanged, this, &IdPassForm::ProviderCombo_Change);
}

void IdPassForm::Form_Load() {
  IdText->setText(settings::ReadAccountKey(QStringLiteral("NAME")));
  PassText->setText(settings::ReadAccountKey(QStringLiteral("NAME2")));
  // The box says what is stored: ticked while a password is kept on disk.
  Check1->setChecked(!PassText->text().isEmpty());

  const settings::oauth::AccountSettings account = settings::oauth::load();
  ProviderCombo->clear();
  for (const settings::oauth::Provider &p : settings::oauth::presets())
    ProviderCombo->addItem(p.name, p.key);
  const int preset = ProviderCombo->findData(account.preset, Qt::UserRole, Qt::MatchFixedString);
  // An account without a provider yet starts at the first preset; one whose
  // preset left the file keeps its own values under "その他".
  ProviderCombo->setCurrentIndex(preset >= 0                 ? preset
                                 : account.preset.isEmpty() ? 0
                                                            : ProviderCombo->count() - 1);
  ClientIdText->setText(account.clientId);
  ClientSecretText->setText(account.clientSecret);
  AuthUrlText->setText(account.authorizationUrl);
  TokenUrlText->setText(account.tokenUrl);
  ScopeText->setText(account.scope);
  CommandText->setText(account.command);
  MethodCombo->setCurrentIndex(int(account.method));
  MethodCombo_Change();
  ProviderCombo_Change();
}

void IdPassForm::MethodCombo_Change() {
  using settings::oauth::Method;
  const auto method = Method(MethodCombo->currentIndex());
  PassText->setEnabled(method == Method::Password);
  for (QWidget *w : {static_cast<QWidget *>(ProviderCombo), static_cast<QWidget *>(ClientIdText),
                     static_cast<QWidget *>(ClientSecretText), static_cast<QWidget *>(AuthUrlText),
                     static_cast<QWidget *>(TokenUrlText), static_cast<QWidget *>(ScopeText),
                     static_cast<QWidget *>(SignInCommand)})
    w->setEnabled(method == Method::Browser);
  CommandText->setEnabled(method == Method::Command);
}

void IdPassForm::ProviderCombo_Change() {
  // The preset's own values show through where the account has none.
  const QString key = ProviderCombo->currentData().toString();
  for (const settings::oauth::Provider &p : settings::oauth::presets()) {
    if (p.key != key)
      continue;
    ClientIdText->setPlaceholderText(p.clientId.isEmpty() ? QStringLiteral("登録したクライアントIDを入力して下さい")
                                                         : p.clientId);
    AuthUrlText->setPlaceholderText(p.authorizationUrl);
    TokenUrlText->setPlaceholderText(p.tokenUrl);
    ScopeText->setPlaceholderText(p.scope);
  }
}

settings::oauth::AccountSettings IdPassForm::shownSignInSettings() const {
  settings::oauth::AccountSettings account;
  account.method = settings::oauth::Method(MethodCombo->currentIndex());
  account.preset = ProviderCombo->currentData().toString();
  account.clientId = ClientIdText->text().trimmed();
  account.clientSecret = ClientSecretText->text().trimmed();
  account.authorizationUrl = AuthUrlText->text().trimmed();
  account.tokenUrl = TokenUrlText->text().trimmed();
  account.scope = ScopeText->text().trimmed();
  account.command = CommandText->text().trimmed();
  return account;
}

bool IdPassForm::saveSignInSettings() {
  const settings::oauth::AccountSettings account = shownSignInSettings();
  // An account that always used its password gets no file of its own.
  if (account.method == settings::oauth::Method::Password &&
      !QFile::exists(settings::oauth::settingsPath()))
    return true;
  settings::oauth::forgetAccessToken();
  return settings::oauth::save(account);
}

void IdPassForm::showSignInResult(const QString &text) {
  SignInLabel->setText(text);
  const int extra =
      std::max(0, SignInLabel->heightForWidth(SignInLabel->width()) - signInLabelHeight_);
  SignInLabel->resize(SignInLabel->width(), signInLabelHeight_ + extra);
  OKCommand->move(OKCommand->x(), buttonsTop_ + extra);
  CancelCommand->move(CancelCommand->x(), buttonsTop_ + extra);
  setFixedSize(width(), windowHeight_ + extra);
}

void IdPassForm::SignInCommand_Click() {
  // Nothing is saved before OK: a sign-in left with Cancel leaves the
  // account as it was, and a scheduled check meanwhile uses the settings in
  // force.
  showSignInResult(QStringLiteral("ブラウザーでサインインして下さい。"));
  SignInCommand->setEnabled(false);
  QPointer<IdPassForm> self(this);
  settings::oauth::signInFor(settings::oauth::provider(shownSignInSettings()), [self](bool, const QString &text) {
    if (!self)
      return;
    self->showSignInResult(text);
    self->SignInCommand->setEnabled(self->MethodCombo->currentIndex() ==
                                    int(settings::oauth::Method::Browser));
  });
}

void IdPassForm::OkCommand_Click() {
  settings::AccountId = IdText->text();
  settings::AccountPassword = PassText->text();
  settings::AccountInMemoryOnly = !Check1->isChecked();
  bool saved;
  if (Check1->isChecked()) {
    // Both values are checked before either is written, so a refused
    // password never leaves a new ID stored beside the old password.
    const auto storable = [](const QString &v) {
      return platform::fitsAnsi(v) && !v.contains(u'\r') && !v.contains(u'\n');
    };
    saved = storable(IdText->text()) && storable(PassText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME"), IdText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME2"), PassText->text()) &&
            settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("1"));
  } else {
    // Not to be kept: the password saved earlier goes too. The values stay
    // in memory for this run.
    saved = settings::WriteAccountKey(QStringLiteral("NAME2"), QString()) &&
            settings::WriteAccountKey(QStringLiteral("NAME3"), QStringLiteral("0"));
  }
  // The dialog closes either way (the values are in use now), but a save
  // that did not happen must not pass for one: the next check would ask again.
  const bool signInSaved = saveSignInSettings();
  // What a sign-in of this dialog obtained counts from now on, if the
  // account signs in in the browser at all.
  bool tokensSaved = true;
  if (MethodCombo->currentIndex() == int(settings::oauth::Method::Browser))
    tokensSaved = settings::oauth::adoptSignIn();
  else
    settings::oauth::cancelSignIn();
  if (!saved)
    platform::messageBox(this,
                         Check1->isChecked()
                             ? QStringLiteral("IDとパスワードを保存できませんでした。")
                             : QStringLiteral("保存してあるパスワードを削除できませんでした。"),
                         {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  else if (!signInSaved)
    platform::messageBox(this, QStringLiteral("ログイン方法の設定を保存できませんでした。"), {},
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  else if (!tokensSaved)
    platform::messageBox(this, settings::oauth::refreshTokenNotSavedText(), {},
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
  forms::idPassForm().unload();
}

void IdPassForm::CancelCommand_Click() {
  settings::oauth::cancelSignIn();
  forms::idPassForm().unload();
}

namespace forms {
platform::FormSlot<IdPassForm> &idPassForm() {
  static platform::FormSlot<IdPassForm> slot;
  return slot;
}
} // namespace forms
