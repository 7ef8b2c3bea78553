#include "main/lib/helptexts.h"

#include <QHash>

namespace korvex {

std::optional<QString> mainHelpText(const QString &controlName) {
  static const QHash<QString, QString> texts = {
      {QStringLiteral("Command1"),
       QStringLiteral("フォームを最小化し、チェックを開始します。「チェック停止」と表示されているときはチェック中、「チェック開始」と表示されている時はチェック機能停止中です。フォームを最小化していても、自動チェックで新着メールがあった場合は、自動的にフォームが標準サイズになります。")},
      {QStringLiteral("Command2"),
       QStringLiteral("メールをチェックする時間を登録します。２４時間制での入力となります（時間は１桁の場合は１桁,分は必ず２桁で（1→01）。「：」は自動的に入ります。登録数に制限はありません。多数登録すると、リスト欄に自動的にスクロールバーが現れます。")},
      {QStringLiteral("Command9"), QStringLiteral("登録されているメールチェック時間を１件ずつ削除します。")},
      {QStringLiteral("Command3"), QStringLiteral("メールの新規作成・送信を行います。")},
      {QStringLiteral("Command4"), QStringLiteral("新着メールの受信を行います。")},
      {QStringLiteral("Command5"), QStringLiteral("メールアドレスの登録を行います。")},
      {QStringLiteral("Command6"),
       QStringLiteral("受信したメールを見ます。フォーム（画面）はストレッチ（伸縮）が出来ますので、お好みのサイズでご覧下さい。")},
      {QStringLiteral("Command7"),
       QStringLiteral("送信したメールを見ます。送信したかどうか自信がない時、ここで確認して下さい。フォーム（画面）はストレッチ（伸縮）が出来ますので、お好みのサイズでご覧下さい。")},
      {QStringLiteral("Command8"),
       QStringLiteral("ID,PASS,サーバーの設定を行います。これを行わないと「通信エラー」となります。必ず最初に行って下さい。")},
      {QStringLiteral("Command11"), QStringLiteral("フォームの最小化を行います。")},
      {QStringLiteral("Command12"), QStringLiteral("メーラー専門店。作者のホームページです。")},
      {QStringLiteral("Frame3"),
       QStringLiteral("電話回線の接続状態を選択します。常時接続されている方は、「常時接続」、新着メールチェックの際のみ回線を接続し、チェック後回線を切断したい方は「切断・接続繰り返し」を、チェックして下さい。")},
      {QStringLiteral("List1"),
       QStringLiteral("このリストに表示されている時間毎に自動的に新着メールのチェックを行います。登録がないと、自動でのチェックは行いません。通常のメーラーとして使用出来ます。")},
      {QStringLiteral("Text3"), QStringLiteral("新着メールの有無が表示されます。")},
      {QStringLiteral("TreeView1"),
       QStringLiteral("これまでの、着信履歴、送信履歴の状態を表示します。新着、削除後の状態は、次回起動より反映されます。メールの内容は「着信履歴」、「送信履歴」ボタンをクリックしてご覧下さい。")},
      // The background and the plain panels hide the box.
      {QStringLiteral("MainForm"), QString()},
      {QStringLiteral("Frame1"), QString()},
      {QStringLiteral("Frame2"), QString()},
      {QStringLiteral("Picture1"), QString()},
  };
  const auto it = texts.constFind(controlName);
  if (it == texts.constEnd())
    return std::nullopt;
  return *it;
}

} // namespace korvex
