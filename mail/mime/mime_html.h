// HTML-only mail as plain text for the viewer's body pane.
#pragma once

#include <QDeadlineTimer>
#include <QString>

namespace nmail::mime {

// The text a person reads in `html`: tags dropped, block ends and <br> as
// line breaks (CR LF), entities decoded, script/style/head content left out,
// runs of blanks outside <pre> collapsed. The tree builder stops at
// `deadline` (and at its own limits), and the page is then read plainly.
QString htmlToText(const QString &html,
                   QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever));

// The charset an HTML document declares in a <meta> tag, or empty.
QByteArray htmlDeclaredCharset(const QByteArray &html);

} // namespace nmail::mime
