#include "platform/browser.h"

#include "platform/core/paths.h"

#include <QDesktopServices>
#include <QFileInfo>

#include <atomic>

namespace platform {
namespace {
std::atomic<BrowserBackend *> installed{nullptr};
} // namespace

QUrl helpPageUrl() {
  return QUrl::fromLocalFile(programFolder() + QStringLiteral("/help/index.html"));
}

bool openHelpPage() {
  // Our own page only: the one local file the program opens in a browser.
  const QUrl url = helpPageUrl();
  if (!QFileInfo(url.toLocalFile()).isFile())
    return false;
  if (BrowserBackend *backend = installed.load())
    return backend->open(url);
  return QDesktopServices::openUrl(url);
}

bool openInBrowser(const QUrl &url) {
  // Only web pages: a file: or other scheme here would run whatever the
  // desktop associates with it.
  if (!url.isValid() ||
      (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
    return false;
  if (BrowserBackend *backend = installed.load())
    return backend->open(url);
  return QDesktopServices::openUrl(url);
}

void setBrowserBackend(BrowserBackend *backend) {
  installed.store(backend);
}

} // namespace platform
