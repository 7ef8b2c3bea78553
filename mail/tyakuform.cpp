#include "mail/tyakuform.h"

#include "editor/editorpane.h"
#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/searchindex.h"
#include "platform/clipboard.h"
#include "platform/core/ansi.h"
#include "platform/messagebox.h"
#include "platform/placement.h"
#include "platform/textbox.h"
#include "platform/twips.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTextEdit>

#include <numeric>

using mail::History;
using mail::MailRecord;
using mail::RowSource;

namespace {

// Client area at start, in twips.
constexpr double StartWidth = 8580, StartHeight = 7470;
constexpr double ListTop = 1440;

const QColor HistoryListColour(144, 238, 144); // 9498256 as 0x00BBGGRR

QString toCrlf(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return text;
}

QString toLf(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  text.replace(u'\r', u'\n');
  return text;
}

// Date, middle column (sender or recipient) of a record as its history means them.
QString dateOf(History which, const MailRecord &r) {
  return which == History::Received ? r.Info2 : r.Info1;
}
QString middleOf(History which, const MailRecord &r) {
  return which == History::Received ? r.Info1 : r.Info2;
}

} // namespace

TyakuForm::TyakuForm() {
  setObjectName(QStringLiteral("TyakuForm"));
  setMouseTracking(true);
  installEventFilter(this);

  // The strip above the button row; the editor's toolbar and search line go
  // here beside "ホーム".
  Picture1 = new QWidget(this);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Command2 = new QPushButton(QStringLiteral("ホーム"), Picture1);
  Command2->setObjectName(QStringLiteral("Command2"));

  Command1 = new QPushButton(QStringLiteral("１件削除"), this);
  Command1->setObjectName(QStringLiteral("Command1"));
  Command3 = new QPushButton(QStringLiteral("アドレス帳登録"), this);
  Command3->setObjectName(QStringLiteral("Command3"));
  Command4 = new QPushButton(QStringLiteral("返事を出す"), this);
  Command4->setObjectName(QStringLiteral("Command4"));
  Command5 = new QPushButton(QStringLiteral("全件削除"), this);
  Command5->setObjectName(QStringLiteral("Command5"));

  Label4 = new QLabel(QStringLiteral("件数"), this);
  Label4->setObjectName(QStringLiteral("Label4"));
  Text2 = new QLineEdit(this);
  Text2->setObjectName(QStringLiteral("Text2"));
  Label4->setBuddy(Text2);

  Picture2 = new QWidget(this);
  Picture2->setObjectName(QStringLiteral("Picture2"));
  Label1 = new QLabel(QStringLiteral("Date/ From/ Subject"), Picture2);
  Label1->setObjectName(QStringLiteral("Label1"));

  List1 = new mail::HistoryList(this);
  List1->setObjectName(QStringLiteral("List1"));
  List1->setSelectionMode(QAbstractItemView::SingleSelection);
  Label1->setBuddy(List1);
  List1->viewport()->setMouseTracking(true);
  List1->viewport()->installEventFilter(this);

  Text7 = new QLineEdit(this);
  Text7->setObjectName(QStringLiteral("Text7"));
  Text7->setAccessibleName(QStringLiteral("日付"));
  Text8 = new QLineEdit(this);
  Text8->setObjectName(QStringLiteral("Text8"));
  Text8->setAccessibleName(QStringLiteral("差出人・宛先"));
  Text9 = new QLineEdit(this);
  Text9->setObjectName(QStringLiteral("Text9"));
  Text9->setAccessibleName(QStringLiteral("件名"));

  rtfEd = new QTextEdit(this);
  rtfEd->setObjectName(QStringLiteral("rtfEd"));
  rtfEd->setAccessibleName(QStringLiteral("本文"));
  rtfEd->setAcceptRichText(false);

  editorPane = new editor::EditorPane(this, Picture1, Command2, rtfEd);
  cmdAllSearch = new QPushButton(QStringLiteral("全メール検索"), this);
  cmdAllSearch->setObjectName(QStringLiteral("cmdAllSearch"));
  editorPane->addBesideSearch(cmdAllSearch);

  // A working field that carries the middle column of the row being built.
  Text3 = new QLineEdit(this);
  Text3->setObjectName(QStringLiteral("Text3"));
  Text3->setAccessibleName(QStringLiteral("作業欄"));
  Text3->hide();

  Text4 = new QTextEdit(this);
  Text4->setObjectName(QStringLiteral("Text4"));
  Text4->setAccessibleName(QStringLiteral("ヘルプ"));
  Text4->setReadOnly(true);
  Text4->hide();

  platform::showTextFromStart(this);

  for (QPushButton *b : {Command1, Command2, Command3, Command4, Command5}) {
    b->setMouseTracking(true);
    b->installEventFilter(this);
  }
  connect(List1, &mail::HistoryList::mouseDown, this, &TyakuForm::List1_MouseDown);
  // The row the keyboard selects is shown just as a pressed one, so what is
  // highlighted and what is shown never differ.
  connect(List1, &mail::HistoryList::keySelect, this, &TyakuForm::List1_MouseDown);
  connect(Command1, &QPushButton::clicked, this, &TyakuForm::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &TyakuForm::Command2_Click);
  connect(Command3, &QPushButton::clicked, this, &TyakuForm::Command3_Click);
  connect(Command4, &QPushButton::clicked, this, &TyakuForm::Command4_Click);
  connect(Command5, &QPushButton::clicked, this, &TyakuForm::Command5_Click);
  connect(cmdAllSearch, &QPushButton::clicked, this, &TyakuForm::cmdAllSearch_Click);

  resize(platform::twipsToPixelsX(StartWidth), platform::twipsToPixelsY(StartHeight));
  platform::setTwipsGeometry(Picture1, 0, 0, StartWidth, 570);
  platform::setTwipsGeometry(Command2, 120, 90, 1095, 375);
  platform::setTwipsGeometry(Command1, 480, 600, 1455, 375);
  platform::setTwipsGeometry(Command3, 2160, 600, 1455, 375);
  platform::setTwipsGeometry(Command4, 3840, 600, 1455, 375);
  platform::setTwipsGeometry(Command5, 5520, 600, 1455, 375);
  platform::setTwipsGeometry(Label4, 7320, 720, 495, 255);
  platform::setTwipsGeometry(Text2, 7920, 720, 495, 270);
  platform::setTwipsGeometry(Picture2, 0, 1080, 10095, 375);
  platform::setTwipsGeometry(Label1, 120, 75, 4000, 255);
  platform::setTwipsGeometry(List1, 0, ListTop, 9975, 1425);
  platform::setTwipsGeometry(Text7, 0, 2880, 2295, 375);
  platform::setTwipsGeometry(Text8, 2280, 2880, 3255, 375);
  platform::setTwipsGeometry(Text9, 5520, 2880, 4575, 375);
  platform::setTwipsGeometry(Text3, 0, 0, 1000, 300);
  platform::setTwipsGeometry(Text4, 960, 4200, 5535, 1215);
}

void TyakuForm::Form_Load() {
  editorPane->LoadCurrentDocument();
  const double w = platform::pixelsToTwipsX(width());
  const double h = platform::pixelsToTwipsY(height());
  platform::setTwipsGeometry(rtfEd, 20, 3900, 0.98 * w, std::max(0.0, h - 3900));
  platform::setTwipsGeometry(List1, 0, ListTop, 0.99 * w,
                             platform::pixelsToTwipsY(List1->height()));
  Form_Resize();
}

void TyakuForm::Form_Resize() {
  const double w = platform::pixelsToTwipsX(width());
  const double h = platform::pixelsToTwipsY(height());
  const double listHeight = 0.25 * h;
  platform::setTwipsGeometry(List1, 0, ListTop, 0.99 * w, listHeight);
  platform::setTwipsGeometry(Picture1, 0, 0, w, platform::pixelsToTwipsY(Picture1->height()));
  platform::setTwipsGeometry(Picture2, 0, 1080, w, 375);
  const double bodyLeft = platform::pixelsToTwipsX(rtfEd->x());
  const double bodyWidth = 0.99 * w;
  platform::setTwipsGeometry(rtfEd, bodyLeft, listHeight + 1800, bodyWidth, 0.5 * h);
  const double boxTop = listHeight + 1440;
  platform::setTwipsGeometry(Text7, bodyLeft, boxTop, 0.2 * w, 375);
  platform::setTwipsGeometry(Text8, 0.2 * bodyWidth, boxTop, 0.35 * w, 375);
  platform::setTwipsGeometry(Text9, 0.55 * bodyWidth, boxTop, 0.54 * w, 375);
  Text4->raise();
}

void TyakuForm::resizeEvent(QResizeEvent *event) {
  QWidget::resizeEvent(event);
  Form_Resize();
}

bool TyakuForm::eventFilter(QObject *watched, QEvent *event) {
  const QEvent::Type t = event->type();
  if (t != QEvent::MouseMove && t != QEvent::Enter && t != QEvent::HoverMove)
    return QWidget::eventFilter(watched, event);
  if (watched == Command1)
    showHelp(QStringLiteral(
        "メールを１件ずつ削除します。リストでメールを選択（クリック）してから実行して下さい。"));
  else if (watched == Command3)
    showHelp(QStringLiteral("メールアドレスをアドレス帳に登録します。リストからメールを選択（クリッ"
                            "ク）してから実行して下さい。"));
  else if (watched == Command4)
    showHelp(QStringLiteral("受信したメールに返事を出します。リストからメールを選択（クリック）して"
                            "から実行して下さい。"));
  else if (watched == Command5)
    showHelp(QStringLiteral("受信したメール全件削除します。"));
  else if (watched == this || watched == List1->viewport())
    hideHelp();
  return QWidget::eventFilter(watched, event);
}

void TyakuForm::showHelp(const QString &text) {
  if (Text4->toPlainText() != text)
    Text4->setPlainText(text);
  Text4->raise();
  Text4->show();
}

void TyakuForm::hideHelp() {
  if (!Text4->isHidden() || !Text4->toPlainText().isEmpty()) {
    Text4->hide();
    Text4->clear();
  }
}

void TyakuForm::clearRows() {
  List1->rows()->clear();
  searchResult_ = false;
  searchQuery_.clear();
}

int TyakuForm::addRow(const QString &text, RowSource source) {
  return List1->rows()->append(text, source);
}

void TyakuForm::setRowSource(int row, RowSource source) {
  List1->rows()->setSource(row, source);
}

void TyakuForm::removeRow(int row) {
  List1->rows()->remove(row);
}

RowSource TyakuForm::rowSource(int row) const {
  return List1->rows()->source(row);
}

QString TyakuForm::bodyText() const {
  return toCrlf(rtfEd->toPlainText());
}

void TyakuForm::setBodyText(const QString &text) {
  rtfEd->setPlainText(toLf(text));
}

void TyakuForm::showRecord(History which, const MailRecord &record) {
  Text7->setText(platform::trimBlanks(dateOf(which, record)));
  Text8->setText(platform::trimBlanks(middleOf(which, record)));
  Text9->setText(platform::trimBlanks(record.Subject));
  setBodyText(platform::trimBlanks(record.Body));
}

void TyakuForm::passBodyThroughClipboard() {
  const QString body = rtfEd->toPlainText();
  platform::clearClipboard();
  platform::setClipboardText(body);
  // Reading the body back as plain text drops any formatting. A clipboard
  // that can't be read (no clipboard service) must not wipe the body box.
  const QString back = platform::clipboardText();
  const QString text = platform::trimBlanks(back.isEmpty() ? body : back);
  if (text != body)
    rtfEd->setPlainText(text);
}

void TyakuForm::openHistory(History which) {
  mail::HistoryMode =
      which == History::Received ? mail::HistoryModeReceived : mail::HistoryModeSent;
  QPalette pal = List1->palette();
  pal.setColor(QPalette::Base, HistoryListColour);
  List1->setPalette(pal);
  List1->setAutoFillBackground(true);
  setWindowTitle(which == History::Received ? QStringLiteral("着信履歴")
                                            : QStringLiteral("送信履歴"));
  platform::placeUnplacedWindow(this);
  show();
  raise();
  activateWindow();
  fillFromHistory(which);
  reportRecovery(which);
}

void TyakuForm::addHistoryRow(History which, int record, const mail::MailRecord &mail) {
  // Rows of a search's result stay the mails that hold the text searched
  // for: the new record is looked at as the index will hold it, from the
  // stored bytes and the whole mail kept beside them.
  if (searchResult_) {
    const std::optional<QByteArray> stored = mail::readHistoryRecordBytes(which, record);
    if (!stored ||
        !mail::search::foldText(mail::search::searchText(mail::decodeMailRecord(*stored),
                                                         mail::originalPath(which, record)))
             .contains(searchQuery_))
      return;
  }
  addRow(mail::historyRowText(which, platform::trimBlanks(mail.Subject), platform::trimBlanks(mail.Info1),
                   platform::trimBlanks(mail.Info2)),
         RowSource{which, record});
  Text2->setText(QString::number(List1->count()));
}

QString TyakuForm::bodyTextAsShown(const QString &text) {
  // The body box gives back what its document holds as plain text: every
  // line break (CR LF, CR, LF, the paragraph and line separators and the
  // document's frame marks U+FDD0/U+FDD1) as one LF, a no-break space as a
  // space, everything else as it was. Done here in one pass instead of
  // laying out a document for every received mail; lines end in CR LF.
  QString out;
  out.reserve(text.size() + text.size() / 16);
  const qsizetype n = text.size();
  qsizetype run = 0; // start of the characters not copied yet
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = text[i].unicode();
    const bool lineBreak = c == u'\r' || c == u'\n' || c == 0x2028 || c == 0x2029 ||
                           c == 0xfdd0 || c == 0xfdd1;
    if (!lineBreak && c != 0x00a0)
      continue;
    out += QStringView(text).mid(run, i - run);
    if (lineBreak) {
      out += QStringLiteral("\r\n");
      if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
        ++i;
    } else {
      out += u' ';
    }
    run = i + 1;
  }
  out += QStringView(text).mid(run);
  return out;
}

void TyakuForm::fillFromHistory(History which) {
  QList<int> records(mail::historyCount(which));
  std::iota(records.begin(), records.end(), 1);
  fillRows(which, records);
}

void TyakuForm::fillFromRecords(History which, const QList<int> &records, const QString &query) {
  // Only records that lie whole in the file get a row.
  const int count = mail::historyCount(which);
  QList<int> whole;
  whole.reserve(records.size());
  for (const int n : records)
    if (n >= 1 && n <= count)
      whole.append(n);
  fillRows(which, whole);
  searchResult_ = true;
  searchQuery_ = mail::search::foldText(query).trimmed();
}

void TyakuForm::fillRows(History which, const QList<int> &records) {
  clearRows();
  Text9->clear();
  Text8->clear();
  Text7->clear();
  rtfEd->clear();

  // Only the end state of the per-record steps is visible (every row, the
  // last record in the boxes and on the clipboard). The rows know their
  // records only: the list reads a row's short fields when it comes into
  // view, and only the last record is read whole now.
  std::vector<RowSource> sources;
  sources.reserve(records.size());
  for (const int n : records)
    sources.push_back(RowSource{which, n});
  List1->rows()->setRows(std::move(sources));

  showLastRecord(which);
  Text2->setText(QString::number(List1->count()));
}

void TyakuForm::showLastRecord(History which) {
  const std::vector<RowSource> &sources = List1->rows()->sources();
  if (sources.empty())
    return;
  // The last row's record: the last of the file, or of a search's result.
  const int n = sources.back().record;
  if (const auto last = mail::readHistoryRecord(which, n)) {
    const QString middle = middleOf(which, *last);
    showRecord(which, *last);
    Text3->setText(platform::trimBlanks(middle));
    passBodyThroughClipboard();
    showOriginal(which, n);
  }
}

bool TyakuForm::reportRecovery(History which) {
  const mail::RecoveryNotice notice = mail::takeRecoveryNotice(which);
  if (notice == mail::RecoveryNotice::None)
    return false;
  if (notice == mail::RecoveryNotice::Recovered && !mail::receiveInProgress())
    mail::dropOrphanedOriginals(which);
  platform::messageBox(this, mail::recoveryNoticeText(which, notice), {}, platform::MsgButtons::Ok,
                       notice == mail::RecoveryNotice::Recovered ? platform::MsgIcon::Information
                                                                 : platform::MsgIcon::Exclamation);
  return true;
}

void TyakuForm::List1_MouseDown() {
  if (mail::HistoryMode != mail::HistoryModeReceived && mail::HistoryMode != mail::HistoryModeSent)
    return;
  const int row = List1->currentRow();
  const bool selected = row >= 0 && List1->item(row) && List1->item(row)->isSelected();
  const RowSource source = rowSource(row);
  std::optional<MailRecord> record;
  if (selected && source.record > 0)
    record = mail::readHistoryRecord(source.history, source.record);
  if (!record) {
    platform::untitledMessageBox(this, QStringLiteral("データが選択されていません"),
                                 platform::MsgButtons::Ok, platform::MsgIcon::Exclamation);
    List1->setFocus();
    return;
  }
  showRecord(source.history, *record);
  passBodyThroughClipboard();
  showOriginal(source.history, source.record);
}

void TyakuForm::showOriginal(History which, int record) {
  // The clipboard keeps the record's body, as the reply window's paste and
  // the Windows program expect; the body box shows the whole mail.
  if (mail::originalPath(which, record).isEmpty())
    return;
  if (const std::optional<QString> text = mail::recordText(which, record))
    setBodyText(*text);
}

// The delete, reply and register commands: viewercommands.cpp.

void TyakuForm::Command2_Click() {
  for (QWidget *w : QApplication::topLevelWidgets()) {
    if (w->objectName() == QLatin1String("MainForm")) {
      w->show();
      w->raise();
      w->activateWindow();
      break;
    }
  }
  forms::tyakuForm().unload();
}

namespace forms {
platform::FormSlot<TyakuForm> &tyakuForm() {
  static platform::FormSlot<TyakuForm> slot;
  return slot;
}
} // namespace forms

namespace mail {
void openHistoryViewer(History which) {
  forms::tyakuForm().get()->openHistory(which);
}
} // namespace mail
