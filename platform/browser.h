// Opening a web page in the desktop's browser, behind a seam for tests.
#pragma once

#include <QUrl>

namespace platform {

// The program's own help page that the "HP" button opens: the README
// rendered at build time, installed in the folder "help" beside the program.
QUrl helpPageUrl();

class BrowserBackend {
public:
  virtual ~BrowserBackend() = default;
  virtual bool open(const QUrl &url) = 0;
};

// Opens `url`; false (and nothing else) when no browser could be started.
bool openInBrowser(const QUrl &url);
// Opens the help page; false (and nothing else) when it is missing or no
// browser could be started.
bool openHelpPage();
void setBrowserBackend(BrowserBackend *backend);

} // namespace platform
