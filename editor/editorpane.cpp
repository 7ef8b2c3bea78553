#include "editor/editorpane.h"

#include "platform/core/textfold.h"

#include "platform/clipboard.h"
#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/twips.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolBar>

namespace editor {

QString DocumentPath;
qint16 Modified = 0;
qint16 BoldCount = 0, ItalicCount = 0, UnderlineCount = 0;

namespace {
enum Style { Bold, Italic, Underline };
} // namespace

QString paneText(const QTextEdit *pane) {
  QString out;
  for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next()) {
    if (b != pane->document()->begin())
      out += QStringLiteral("\r\n");
    QString line = b.text();
    line.replace(QChar::LineSeparator, u'\n');
    out += line;
  }
  return out;
}

void setPaneText(QTextEdit *pane, const QString &text) {
  QString t = text;
  t.replace(QStringLiteral("\r\n"), QString(QChar::ParagraphSeparator));
  t.replace(u'\r', QChar::ParagraphSeparator);
  // A lone LF ends no line: it stays inside its line.
  t.replace(u'\n', QChar::LineSeparator);
  t.replace(QChar::ParagraphSeparator, u'\n');
  QTextDocument *doc = pane->document();
  QTextCursor c(doc);
  c.beginEditBlock();
  c.select(QTextCursor::Document);
  c.removeSelectedText();
  QStringList lines = t.split(u'\n');
  for (int i = 0; i < lines.size(); ++i) {
    if (i > 0)
      c.insertBlock();
    c.insertText(lines[i]);
  }
  c.endEditBlock();
  // Text the program puts into the pane is not the user's unsaved typing.
  doc->setModified(false);
  pane->moveCursor(QTextCursor::Start);
}

EditorPane::EditorPane(QWidget *window, QWidget *strip, QWidget *home, QTextEdit *rtfEd)
    : QObject(window), window_(window), strip_(strip), home_(home), rtfEd_(rtfEd) {
  bar_ = new QWidget(strip);
  bar_->setObjectName(QStringLiteral("EditorBar"));
  auto *row = row_ = new QHBoxLayout(bar_);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);

  menuBar = new QMenuBar(bar_);
  menuBar->setObjectName(QStringLiteral("menuBar"));
  menuBar->setNativeMenuBar(false);
  mFile = menuBar->addMenu(QStringLiteral("ファイル(&F)"));
  mFile->setObjectName(QStringLiteral("mFile"));
  menuItem(mFile, "mnew", QStringLiteral("新規作成"), &EditorPane::mnew_Click);
  menuItem(mFile, "mopen", QStringLiteral("開く"), &EditorPane::mopen_Click);
  menuItem(mFile, "msave", QStringLiteral("名前を付けて保存"), &EditorPane::msave_Click);
  menuItem(mFile, "mprint", QStringLiteral("印刷"), &EditorPane::mprint_Click);
  mFile->addSeparator()->setObjectName(QStringLiteral("mline"));
  menuItem(mFile, "mend", QStringLiteral("終了"), &EditorPane::mend_Click);
  medit = menuBar->addMenu(QStringLiteral("編集"));
  medit->setObjectName(QStringLiteral("medit"));
  menuItem(medit, "mall", QStringLiteral("全て選択"), &EditorPane::mall_Click);
  menuItem(medit, "matamajump", QStringLiteral("文頭へジャンプ"), &EditorPane::matamajump_Click);
  menuItem(medit, "mbunmatujump", QStringLiteral("文末へジャンプ"),
           &EditorPane::mbunmatujump_Click);
  medit->addSeparator()->setObjectName(QStringLiteral("mline3"));
  menuItem(medit, "mkensaku", QStringLiteral("検索"), &EditorPane::mkensaku_Click);
  // F3 finds the next hit wherever the focus is in the window.
  QAction *findNext =
      menuItem(medit, "mtugikensaku", QStringLiteral("次を検索"), &EditorPane::mtugikensaku_Click);
  findNext->setShortcut(QKeySequence(Qt::Key_F3));
  findNext->setShortcutContext(Qt::WindowShortcut);
  window_->addAction(findNext);
  medit->addSeparator()->setObjectName(QStringLiteral("mline2"));
  menuItem(medit, "mcut", QStringLiteral("切り取り"), &EditorPane::mcut_Click);
  menuItem(medit, "mcopy", QStringLiteral("コピー"), &EditorPane::mcopy_Click);
  menuItem(medit, "mpaste", QStringLiteral("貼付け"), &EditorPane::mpaste_Click);
  row->addWidget(menuBar);

  tbToolBar = new QToolBar(bar_);
  tbToolBar->setObjectName(QStringLiteral("tbToolBar"));
  tbToolBar->setIconSize(QSize(16, 16));
  tbToolBar->setAccessibleName(QStringLiteral("ツールバー"));
  toolButton(QStringLiteral("New"), QStringLiteral("新規作成"), QStringLiteral("document-new"),
             QStyle::SP_FileIcon);
  toolButton(QStringLiteral("Open"), QStringLiteral("開く"), QStringLiteral("document-open"),
             QStyle::SP_DialogOpenButton);
  toolButton(QStringLiteral("Save"), QStringLiteral("名前を付けて保存"),
             QStringLiteral("document-save-as"), QStyle::SP_DialogSaveButton);
  toolButton(QStringLiteral("Print"), QStringLiteral("印刷"), QStringLiteral("document-print"), -1);
  tbToolBar->addSeparator();
  toolButton(QStringLiteral("Cut"), QStringLiteral("切り取り"), QStringLiteral("edit-cut"), -1);
  toolButton(QStringLiteral("Copy"), QStringLiteral("ｺﾋﾟｰ"), QStringLiteral("edit-copy"), -1);
  toolButton(QStringLiteral("Paste"), QStringLiteral("貼り付け"), QStringLiteral("edit-paste"), -1);
  tbToolBar->addSeparator();
  toolButton(QStringLiteral("Bold"), QStringLiteral("太字"), QStringLiteral("format-text-bold"),
             -1);
  toolButton(QStringLiteral("Italic"), QStringLiteral("斜体"), QStringLiteral("format-text-italic"),
             -1);
  toolButton(QStringLiteral("Underline"), QStringLiteral("下線"),
             QStringLiteral("format-text-underline"), -1);
  connect(tbToolBar, &QToolBar::actionTriggered, this,
          [this](QAction *a) { tbToolBar_ButtonClick(a->data().toString()); });
  row->addWidget(tbToolBar);

  auto *label = new QLabel(QStringLiteral("検索文字"), bar_);
  label->setObjectName(QStringLiteral("SearchLabel"));
  Text1 = new QLineEdit(bar_);
  Text1->setObjectName(QStringLiteral("Text1"));
  label->setBuddy(Text1);
  // The search box keeps room to type in; the toolbar folds its last
  // buttons behind its extension arrow on a narrow window instead.
  Text1->setMinimumWidth(platform::twipsToPixelsX(1800));
  row->addWidget(label);
  row->addWidget(Text1, 1);

  // Enter in the search box finds the next hit; a text not searched for
  // yet is searched from the top.
  connect(Text1, &QLineEdit::returnPressed, this, [this] {
    if (SearchPosition > 0 && Text1->text() == searchedText_)
      mtugikensaku_Click();
    else
      mkensaku_Click();
  });
  connect(rtfEd_, &QTextEdit::textChanged, this, &EditorPane::rtfEd_Change);
  strip_->installEventFilter(this);
  home_->installEventFilter(this);
  layOut();
}

void EditorPane::addBesideSearch(QWidget *control) {
  control->setParent(bar_);
  row_->addWidget(control);
}

QAction *EditorPane::menuItem(QMenu *menu, const char *name, const QString &caption,
                              void (EditorPane::*slot)()) {
  QAction *a = menu->addAction(caption);
  a->setObjectName(QString::fromLatin1(name));
  connect(a, &QAction::triggered, this, slot);
  return a;
}

void EditorPane::toolButton(const QString &key, const QString &tip, const QString &theme,
                            int standardIcon) {
  QIcon icon = QIcon::fromTheme(theme);
  if (icon.isNull() && standardIcon >= 0)
    icon = window_->style()->standardIcon(QStyle::StandardPixmap(standardIcon));
  // Without an icon the button shows its tooltip's text instead.
  QAction *a = tbToolBar->addAction(icon, tip);
  a->setObjectName(QStringLiteral("tb") + key);
  a->setData(key);
  a->setToolTip(tip);
}

bool EditorPane::eventFilter(QObject *watched, QEvent *event) {
  if ((watched == strip_ && event->type() == QEvent::Resize) ||
      (watched == home_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize)))
    layOut();
  return QObject::eventFilter(watched, event);
}

void EditorPane::layOut() {
  const int left = home_->geometry().right() + 8;
  bar_->setGeometry(left, 0, std::max(0, strip_->width() - left - 4), strip_->height());
}

// ---- Commands -------------------------------------------------------------------

void EditorPane::rtfEd_Change() {
  Modified = -1;
}

void EditorPane::tbToolBar_ButtonClick(const QString &key) {
  if (key == QLatin1String("New"))
    NewDocument();
  else if (key == QLatin1String("Open"))
    OpenDocument();
  else if (key == QLatin1String("Save") || key == QLatin1String("SaveAs"))
    SaveDocumentAs();
  else if (key == QLatin1String("Print"))
    PrintDocument();
  else if (key == QLatin1String("Cut"))
    mcut_Click();
  else if (key == QLatin1String("Copy"))
    mcopy_Click();
  else if (key == QLatin1String("Paste"))
    paste();
  else if (key == QLatin1String("Bold"))
    toggleStyle(BoldCount, Bold);
  else if (key == QLatin1String("Italic"))
    toggleStyle(ItalicCount, Italic);
  else if (key == QLatin1String("Underline"))
    toggleStyle(UnderlineCount, Underline);
}

void EditorPane::mnew_Click() {
  NewDocument();
}
void EditorPane::mopen_Click() {
  OpenDocument();
}
void EditorPane::msave_Click() {
  SaveDocumentAs();
}
// The menu's "印刷" prints as the toolbar's button does.
void EditorPane::mprint_Click() {
  PrintDocument();
}

void EditorPane::mend_Click() {
  for (QWidget *w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String("MainForm")) {
      w->move(window_->pos());
      w->show();
      w->raise();
      w->activateWindow();
      break;
    }
  }
  window_->hide();
}

void EditorPane::mall_Click() {
  QTextCursor c(rtfEd_->document());
  c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  rtfEd_->setTextCursor(c);
}

void EditorPane::matamajump_Click() {
  rtfEd_->moveCursor(QTextCursor::Start);
  rtfEd_->setFocus();
}

void EditorPane::mbunmatujump_Click() {
  rtfEd_->moveCursor(QTextCursor::End);
  rtfEd_->setFocus();
}

void EditorPane::selectHit(int position, int length) {
  rtfEd_->setFocus();
  QTextCursor c(rtfEd_->document());
  c.setPosition(position - 1);
  c.setPosition(position - 1 + length, QTextCursor::KeepAnchor);
  rtfEd_->setTextCursor(c);
}

// A search that finds nothing says so, and the last hit is no longer shown
// selected as if it had been found again.
void EditorPane::noHit() {
  QTextCursor c = rtfEd_->textCursor();
  c.clearSelection();
  rtfEd_->setTextCursor(c);
  platform::messageBox(window_,
                       QStringLiteral("「%1」は見つかりませんでした。").arg(Text1->text()),
                       QString(), platform::MsgButtons::Ok, platform::MsgIcon::Information);
}

// Positions count every line break as one character, as the pane's cursor
// does. They are held in an int, so hits beyond 32767 are found where they
// are (the Windows program's 16-bit counter overflowed there). Text is
// compared as the whole-mail search compares it: letter case and full- or
// half-width forms don't count, so a mail that search listed shows its hit.
void EditorPane::mkensaku_Click() {
  findFrom(1);
}

void EditorPane::mtugikensaku_Click() {
  // After a miss the next search starts at the character whose number is
  // the search text's length. With an empty search text and no earlier hit
  // that would be 0: searching from the first character finds it at the
  // start, once.
  findFrom(std::max(1, SearchPosition + (SearchPosition > 0 ? hitLength_ : int(Text1->text().size()))));
}

void EditorPane::findFrom(int start) {
  const QString needle = Text1->text();
  searchedText_ = needle;
  const QString text = rtfEd_->document()->toPlainText();
  const platform::FoldedHit hit = start - 1 > text.size()
                                      ? platform::FoldedHit{}
                                      : platform::findFolded(text, needle, start - 1);
  SearchPosition = int(hit.position) + 1;
  hitLength_ = int(hit.length);
  if (SearchPosition > 0)
    selectHit(SearchPosition, hitLength_);
  else
    noHit();
}

namespace {
QString selectedPlainText(const QTextEdit *pane) {
  QString t = pane->textCursor().selectedText();
  t.replace(QChar::ParagraphSeparator, u'\n');
  t.replace(QChar::LineSeparator, u'\n');
  return t;
}
} // namespace

void EditorPane::mcut_Click() {
  platform::clearClipboard();
  const QString selected = selectedPlainText(rtfEd_);
  if (!selected.isEmpty())
    platform::setClipboardText(selected);
  rtfEd_->textCursor().removeSelectedText();
  rtfEd_->setFocus();
}

void EditorPane::mcopy_Click() {
  QTextCursor c = rtfEd_->textCursor();
  const int end = c.hasSelection() ? c.selectionEnd() : 0;
  platform::clearClipboard();
  const QString selected = selectedPlainText(rtfEd_);
  if (!selected.isEmpty())
    platform::setClipboardText(selected);
  c.setPosition(end);
  rtfEd_->setTextCursor(c);
  rtfEd_->setFocus();
}

void EditorPane::paste() {
  rtfEd_->setFocus();
  QString text = platform::trimBlanks(platform::clipboardText());
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  rtfEd_->textCursor().insertText(text);
}

// The menu's paste also sets the pasted text's character offset (raised or
// lowered text) back to normal; the toolbar's paste does not.
void EditorPane::mpaste_Click() {
  QTextCursor c = rtfEd_->textCursor();
  const int from = c.selectionStart();
  paste();
  QTextCursor pasted = rtfEd_->textCursor();
  pasted.setPosition(from, QTextCursor::KeepAnchor);
  QTextCharFormat normal;
  normal.setVerticalAlignment(QTextCharFormat::AlignNormal);
  pasted.mergeCharFormat(normal);
}

void EditorPane::toggleStyle(qint16 &count, int style) {
  const bool on = count % 2 == 0;
  count = on ? 0 : 1;
  ++count;
  QFont f = rtfEd_->font();
  if (style == Bold)
    f.setBold(on);
  else if (style == Italic)
    f.setItalic(on);
  else
    f.setUnderline(on);
  rtfEd_->setFont(f);
}

} // namespace editor
