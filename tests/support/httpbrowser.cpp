#include "tests/support/httpbrowser.h"

#include <QEventLoop>
#include <QNetworkReply>

HttpBrowser::HttpBrowser() {
  platform::setBrowserBackend(this);
}

HttpBrowser::~HttpBrowser() {
  platform::setBrowserBackend(nullptr);
}

bool HttpBrowser::open(const QUrl &url) {
  opened << url;
  QNetworkRequest request(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  QNetworkReply *reply = manager_.get(request);
  QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
    reply->deleteLater();
    QUrl back(QString::fromLatin1(reply->rawHeader("Location")));
    if (!back.isValid() || back.isEmpty())
      return;
    if (strays)
      for (const QUrl &stray : strays(back)) {
        QNetworkReply *answer = manager_.get(QNetworkRequest(stray));
        QEventLoop wait;
        QObject::connect(answer, &QNetworkReply::finished, &wait, &QEventLoop::quit);
        wait.exec();
        strayAnswers.append(
            {answer->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), answer->readAll()});
        answer->deleteLater();
      }
    if (tamper)
      back = tamper(back);
    QNetworkReply *landed = manager_.get(QNetworkRequest(back));
    QObject::connect(landed, &QNetworkReply::finished, landed, &QObject::deleteLater);
  });
  return true;
}
