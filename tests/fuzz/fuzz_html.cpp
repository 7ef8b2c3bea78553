// The HTML reader of HTML-only mail on any page: gumbo's tree, walked
// without recursion, whatever the nesting.
#include "mail/mime/mime_html.h"
#include "tests/fuzz/fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const QByteArray html = fuzz::bytes(data, size);
  nmail::mime::htmlDeclaredCharset(html);
  nmail::mime::htmlToText(QString::fromUtf8(html));
  return 0;
}
