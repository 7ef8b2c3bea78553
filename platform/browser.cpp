#include "platform/browser.h"

#include <QDesktopServices>

#include <atomic>

namespace platform {
namespace {
std::atomic<BrowserBackend *> installed{nullptr};
} // namespace

QUrl homePageUrl() { return QUrl(QStringLiteral("https://korvex.example/")); }

bool openInBrowser(const QUrl &url) {
  // Only web pages: a file: or other scheme here would run whatever the
  // desktop associates with it.
  if (!url.isValid() || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
    return false;
  if (BrowserBackend *backend = installed.load())
    return backend->open(url);
  return QDesktopServices::openUrl(url);
}

void setBrowserBackend(BrowserBackend *backend) { installed.store(backend); }

} // namespace platform
