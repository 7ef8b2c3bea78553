// The account dialog: POP3 user ID and password, optionally saved to the
// account profile, and how the account signs in: with the password, with
// OAuth 2.0 in the browser, or with a token command.
#pragma once

#include "platform/forms.h"
#include "settings/oauthsettings.h"

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class IdPassForm : public QWidget {
  Q_OBJECT
public:
  explicit IdPassForm(QWidget *parent = nullptr);

  QLabel *Label1; // "ID"
  QLineEdit *IdText;
  QLabel *Label2[2]; // "Password", "IDパスワードを保存する"
  QLineEdit *PassText;
  QCheckBox *Check1; // save the account to the profile
  QPushButton *OKCommand;
  QPushButton *CancelCommand;

  // How the account signs in.
  QLabel *MethodLabel;          // "ログイン方法"
  QComboBox *MethodCombo;       // password / OAuth 2.0 in the browser / token command
  QLabel *ProviderLabel;        // "プロバイダー"
  QComboBox *ProviderCombo;     // the presets, then "その他"
  QLabel *ClientIdLabel;        // "クライアントID"
  QLineEdit *ClientIdText;      // empty: the preset's
  QLabel *ClientSecretLabel;    // "クライアントシークレット"
  QLineEdit *ClientSecretText;  // only for providers that want one
  QLabel *AuthUrlLabel;         // "認可URL"
  QLineEdit *AuthUrlText;       // empty: the preset's
  QLabel *TokenUrlLabel;        // "トークンURL"
  QLineEdit *TokenUrlText;      // empty: the preset's
  QLabel *ScopeLabel;           // "スコープ"
  QLineEdit *ScopeText;         // empty: the preset's
  QLabel *CommandLabel;         // "トークンコマンド"
  QLineEdit *CommandText;       // a program and its arguments; its output is the token
  QPushButton *SignInCommand;   // "サインイン": opens the browser
  QLabel *SignInLabel;          // what the last sign-in came to

  void Form_Load();

public Q_SLOTS:
  void OkCommand_Click();
  void CancelCommand_Click();
  void SignInCommand_Click();
  void MethodCombo_Change();
  void ProviderCombo_Change();

private:
  // The OAuth settings as the controls show them now.
  settings::oauth::AccountSettings shownSignInSettings() const;
  bool saveSignInSettings();
  // Puts `text` into SignInLabel whole: the label, the buttons below it and
  // the window grow when it needs more lines than the label has.
  void showSignInResult(const QString &text);

  int signInLabelHeight_ = 0; // as laid out, for one or two lines
  int buttonsTop_ = 0;
  int windowHeight_ = 0;
};

namespace forms {
platform::FormSlot<IdPassForm> &idPassForm();
}
