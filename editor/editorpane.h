// The viewer's body pane as a small plain-text editor: a menu bar, a toolbar
// and a search box on the viewer's top strip, and the commands behind them.
// The pane keeps showing whatever the viewer puts into it; these commands
// work on that text as on any other.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QAction;
class QHBoxLayout;
class QLineEdit;
class QMenu;
class QMenuBar;
class QTextEdit;
class QToolBar;
class QWidget;

namespace editor {

// Program-wide editor state.
extern QString DocumentPath; // the current document; "" until "新規作成"
extern qint16 Modified;      // -1 after any change of the pane's text, 0 after a save
extern qint16 BoldCount, ItalicCount, UnderlineCount; // clicks of the style buttons

// The name of the new document, in the working directory.
inline constexpr char16_t NewDocumentName[] = u"新規作成.TXT";

// The pane's text with its line breaks as CR LF; a line feed inside a line
// (opened from an LF-only file) stays a lone LF.
QString paneText(const QTextEdit *pane);
void setPaneText(QTextEdit *pane, const QString &text);

// A text file's bytes as the pane shows them: CP932, every line (ended by CR
// LF or CR; a lone LF ends none) followed by CR LF. Nothing, with the reason
// for the user in `error`, when the bytes are not CP932 text.
std::optional<QString> documentFromBytes(const QByteArray &bytes, QString *error);

// Files larger than this are refused: the pane would stop responding.
inline constexpr qint64 MaxDocumentBytes = 4 * 1024 * 1024;

class EditorPane : public QObject {
  Q_OBJECT
public:
  // Builds the menus, the toolbar and the search box into `strip` (to the
  // right of `home`) for the pane `rtfEd` of `window`.
  EditorPane(QWidget *window, QWidget *strip, QWidget *home, QTextEdit *rtfEd);

  QMenuBar *menuBar;
  QMenu *mFile;
  QMenu *medit;
  QToolBar *tbToolBar;
  QLineEdit *Text1;       // "検索文字": the search text
  int SearchPosition = 0; // 1-based position of the last hit, 0: none

  // The window load's step: the current document into the pane.
  void LoadCurrentDocument();
  // Puts a control of the window right of the search box.
  void addBesideSearch(QWidget *control);

public Q_SLOTS:
  void mnew_Click();
  void mopen_Click();
  void msave_Click();
  void mprint_Click();
  void mend_Click();
  void mall_Click();
  void matamajump_Click();
  void mbunmatujump_Click();
  void mkensaku_Click();
  void mtugikensaku_Click();
  void mcut_Click();
  void mcopy_Click();
  void mpaste_Click();
  void tbToolBar_ButtonClick(const QString &key);
  void rtfEd_Change();

  void NewDocument();
  void OpenDocument();
  void SaveDocumentAs();
  void PrintDocument();

private:
  bool eventFilter(QObject *watched, QEvent *event) override;
  QAction *menuItem(QMenu *menu, const char *name, const QString &caption,
                    void (EditorPane::*slot)());
  void toolButton(const QString &key, const QString &tip, const QString &theme, int standardIcon);
  void selectHit(int position, int length);
  // Finds the search text from character `start` (1-based) on.
  void findFrom(int start);
  void noHit();
  void paste();
  void toggleStyle(qint16 &count, int style);
  bool SaveDocument();
  bool writeFile(const QString &path, const QString &text, bool confirmOverwrite);
  void layOut();

  QWidget *window_;
  QWidget *strip_;
  QWidget *home_;
  QTextEdit *rtfEd_;
  QWidget *bar_;
  QHBoxLayout *row_;
  QString searchedText_; // the search text of the last search
  int hitLength_ = 0;     // characters of the text the last hit covers
};

} // namespace editor
