// Opening a web page in the desktop's browser, behind a seam for tests.
#pragma once

#include <QUrl>

namespace platform {

// The author's home page that the "HP" button opens.
QUrl homePageUrl();

class BrowserBackend {
public:
  virtual ~BrowserBackend() = default;
  virtual bool open(const QUrl &url) = 0;
};

// Opens `url`; false (and nothing else) when no browser could be started.
bool openInBrowser(const QUrl &url);
void setBrowserBackend(BrowserBackend *backend);

} // namespace platform
