// The editor's file and print commands.
#include "editor/editorpane.h"

#include "platform/core/ansi.h"
#include "platform/filedialogs.h"
#include "platform/messagebox.h"

#include <QFile>
#include <QFileInfo>
#include <QPrinter>
#include <QSaveFile>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

namespace editor {
namespace {

const QString FileFilter = QStringLiteral("txtファイル(*.txt,*.ini) (*.txt *.ini)");

// The CP932 converter turns bytes it cannot read into U+FFFD, a character
// CP932 itself cannot hold: one in the result means the file is something
// else (UTF-8, UTF-16, binary) and would open as mojibake.
bool isAnsiText(const QByteArray &bytes, const QString &text) {
  return !text.contains(QChar::ReplacementCharacter) && !bytes.contains('\0');
}

} // namespace

std::optional<QString> documentFromBytes(const QByteArray &bytes, QString *error) {
  const QString decoded = platform::fromAnsi(bytes);
  if (!isAnsiText(bytes, decoded)) {
    if (error)
      *error =
          QStringLiteral("このファイルは Shift_JIS（CP932）のテキストではないため開けません。");
    return std::nullopt;
  }
  // Lines end at CR LF or at a lone CR; each is followed by CR LF, so the
  // text always ends with a line break. A lone LF ends no line.
  QString out;
  out.reserve(decoded.size() + 2);
  qsizetype start = 0;
  const qsizetype n = decoded.size();
  while (start < n) {
    qsizetype cr = decoded.indexOf(u'\r', start);
    if (cr < 0)
      cr = n;
    out += QStringView(decoded).mid(start, cr - start);
    out += QStringLiteral("\r\n");
    start = cr + 1;
    if (cr < n && start < n && decoded[start] == u'\n')
      ++start;
  }
  return out;
}

// ---- Saving ------------------------------------------------------------------------

// Writes through a temporary file beside the target that replaces it only
// when complete, so a failed or cut-off save never leaves half a file. Says
// why when it fails.
bool EditorPane::writeFile(const QString &path, const QString &text, bool confirmOverwrite) {
  if (confirmOverwrite && QFileInfo::exists(path) &&
      platform::messageBox(window_,
                           QStringLiteral("「%1」は既にあります。上書きしますか？").arg(path),
                           QStringLiteral("確認"), platform::MsgButtons::YesNo,
                           platform::MsgIcon::Question) != platform::MsgAnswer::Yes)
    return false;
  if (!platform::fitsAnsi(text) &&
      platform::messageBox(window_,
                           QStringLiteral("Shift_JIS（CP932）で保存できない文字が含まれています。"
                                          "それらの文字を「?」に置き換えて保存しますか？"),
                           QStringLiteral("確認"), platform::MsgButtons::YesNo,
                           platform::MsgIcon::Question) != platform::MsgAnswer::Yes)
    return false;
  QSaveFile file(path);
  file.setDirectWriteFallback(false);
  const QByteArray bytes = platform::toAnsi(text);
  // flush() before commit(): Qt's commit takes a write the disk refused
  // (full) for done and puts the short file in the document's place.
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush() ||
      !file.commit()) {
    platform::messageBox(
        window_, QStringLiteral("「%1」に保存できませんでした。\n%2").arg(path, file.errorString()),
        {}, platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    return false;
  }
  return true;
}

bool EditorPane::SaveDocument() {
  if (DocumentPath.isEmpty())
    return false; // no current document: the Windows program passed over it silently
  if (!writeFile(DocumentPath, paneText(rtfEd_), false))
    return false;
  Modified = 0;
  rtfEd_->document()->setModified(false);
  return true;
}

void EditorPane::SaveDocumentAs() {
  const QString path =
      platform::saveFileName(window_, QStringLiteral("名前を付けて保存"), FileFilter);
  if (path.isEmpty())
    return;
  // One line break more than the pane shows, as the Windows program wrote.
  // The caption names the file only once it holds the text.
  if (writeFile(path, paneText(rtfEd_) + QStringLiteral("\r\n"), true))
    window_->setWindowTitle(path);
}

// ---- New, open, load -----------------------------------------------------------------

void EditorPane::NewDocument() {
  if (DocumentPath.contains(QString::fromUtf16(NewDocumentName)))
    return; // the current document already is the new one
  // Text the user typed with no file to go to would be lost without a word.
  if (Modified == -1 && DocumentPath.isEmpty() && rtfEd_->document()->isModified() &&
      !rtfEd_->document()->isEmpty() &&
      platform::messageBox(window_,
                           QStringLiteral("編集中の文章は保存されていません。破棄して新規作成し"
                                          "ますか？"),
                           QStringLiteral("確認"), platform::MsgButtons::YesNo,
                           platform::MsgIcon::Question) != platform::MsgAnswer::Yes)
    return;
  // A current document that could not be saved stays in the pane.
  if (Modified == -1 && !DocumentPath.isEmpty() && !SaveDocument())
    return;
  // The new document starts empty on the disk too; an existing one is only
  // emptied when the user says so, as with "名前を付けて保存".
  const QString path = QString::fromUtf16(NewDocumentName);
  if (!writeFile(path, QString(), true))
    return;
  rtfEd_->clear();
  DocumentPath = path;
  Modified = 0;
  window_->setWindowTitle(QString::fromUtf16(NewDocumentName) + QString(6, u' ') + DocumentPath);
}

namespace {
// The file as the pane shows it, or nothing with the reason.
std::optional<QString> readDocument(const QString &path, QString *error) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("「%1」を開けませんでした。\n%2").arg(path, file.errorString());
    return std::nullopt;
  }
  if (file.size() > MaxDocumentBytes) {
    *error = QStringLiteral("「%1」は大きすぎるため開けません（%2 MB まで）。")
                 .arg(path)
                 .arg(MaxDocumentBytes / (1024 * 1024));
    return std::nullopt;
  }
  return documentFromBytes(file.readAll(), error);
}
} // namespace

void EditorPane::OpenDocument() {
  const QString path = platform::openFileName(window_, QStringLiteral("開く"), FileFilter);
  if (path.isEmpty())
    return;
  QString error;
  const std::optional<QString> text = readDocument(path, &error);
  if (!text) {
    platform::messageBox(window_, error, {}, platform::MsgButtons::Ok,
                         platform::MsgIcon::Exclamation);
    return;
  }
  window_->setWindowTitle(QFileInfo(path).absoluteFilePath());
  setPaneText(rtfEd_, *text);
}

void EditorPane::LoadCurrentDocument() {
  // Before any new document there is no current one: the pane stays as the
  // viewer fills it, without a box about a file the user never chose.
  if (DocumentPath.isEmpty()) {
    Modified = 0;
    return;
  }
  for (;;) {
    QFile file(DocumentPath);
    if (file.open(QIODevice::ReadOnly) && file.size() <= MaxDocumentBytes) {
      const QByteArray bytes = file.readAll();
      const QString text = platform::fromAnsi(bytes);
      if (isAnsiText(bytes, text)) {
        setPaneText(rtfEd_, text);
        Modified = 0;
        return;
      }
    }
    const platform::MsgAnswer a = platform::messageBox(
        window_, QString(), platform::programTitle() + QStringLiteral("  Form_LoadError"),
        platform::MsgButtons::OkCancel, platform::MsgIcon::Exclamation);
    if (a != platform::MsgAnswer::Ok) {
      Modified = 0;
      return;
    }
  }
}

// ---- Printing ----------------------------------------------------------------------------

void EditorPane::PrintDocument() {
  const QTextCursor sel = rtfEd_->textCursor();
  const bool selection = sel.hasSelection();
  QString text;
  if (selection) {
    text = sel.selectedText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    text.replace(QChar::LineSeparator, u'\n');
  } else {
    text = rtfEd_->document()->toPlainText();
  }
  QPrinter printer;
  const int copies = platform::printDialog(window_, printer, selection);
  if (copies <= 0)
    return;
  // The copies are made here, one after another, each from a new page: a
  // printer that also made copies would multiply them, and separate jobs to
  // a file would each overwrite the one before. A page range would count
  // pages across all the copies, so none is used: every copy prints whole.
  printer.setCopyCount(1);
  printer.setPrintRange(selection ? QPrinter::Selection : QPrinter::AllPages);
  printer.setFromTo(0, 0);
  QFont font = rtfEd_->font();
  font.setUnderline(false);
  QTextDocument doc;
  doc.setDefaultFont(font);
  QTextCursor c(&doc);
  for (int i = 0; i < copies; ++i) {
    if (i > 0) {
      QTextBlockFormat pageBreak;
      pageBreak.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
      c.insertBlock(pageBreak);
    }
    c.insertText(text);
  }
  doc.print(&printer);
  if (printer.printerState() == QPrinter::Error)
    platform::messageBox(window_, QStringLiteral("印刷できませんでした。"), {},
                         platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
}

} // namespace editor
