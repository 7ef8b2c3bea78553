// A browser for the sign-in tests that really goes to the page the program
// opens and follows its redirect, as a user's browser does once the user
// approved at the provider: the program's loopback listener then gets a real
// request. Installed as the browser seam for its lifetime.
#pragma once

#include "platform/browser.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QUrl>
#include <functional>
#include <utility>

class HttpBrowser final : public platform::BrowserBackend {
public:
  HttpBrowser();
  ~HttpBrowser() override;

  bool open(const QUrl &url) override;

  QList<QUrl> opened;
  // Changes the redirect on its way back (another tab's, or an attacker's, link).
  std::function<QUrl(QUrl)> tamper;
  // Requests that reach the program's listener before the redirect does
  // (another program, a web page, an old tab), made from the redirect; the
  // listener's answers (status, page) land in strayAnswers.
  std::function<QList<QUrl>(const QUrl &redirect)> strays;
  QList<std::pair<int, QByteArray>> strayAnswers;

private:
  QNetworkAccessManager manager_;
};
