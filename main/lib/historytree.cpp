#include "main/lib/historytree.h"

#include "mail/history.h"
#include "platform/core/recordfile.h"

#include <QApplication>
#include <QLineEdit>
#include <QStyle>
#include <QTreeWidget>

namespace korvex {

namespace {
constexpr int ImageRole = Qt::UserRole + 1;

QTreeWidgetItem *addHistory(QTreeWidget *tree, const ImageList &images, mail::History which,
                            const QString &caption, QLineEdit *field) {
  auto *top = new QTreeWidgetItem(tree, QStringList(caption));
  setNodeImage(top, images, ImageList::NodeExpanded);
  // Opening a history creates it, empty, when it is missing.
  platform::RecordFile(mail::historyPath(which), mail::MailLayout::RecordLength).ensureExists();
  const QList<mail::HistoryHeading> headings = mail::readHistoryHeadings(which);
  QList<QTreeWidgetItem *> children;
  children.reserve(headings.size());
  for (const mail::HistoryHeading &h : headings) {
    field->setText(h.Subject);
    auto *child = new QTreeWidgetItem(QStringList(field->text()));
    setNodeImage(child, images, ImageList::MailImage);
    children.append(child);
  }
  // One insertion keeps a history of tens of thousands of mails quick.
  top->addChildren(children);
  return top;
}
} // namespace

ImageList::ImageList(QObject *parent) : QObject(parent) {
  QStyle *style = QApplication::style();
  images_ = {style->standardIcon(QStyle::SP_DirClosedIcon), style->standardIcon(QStyle::SP_DirOpenIcon),
             style->standardIcon(QStyle::SP_FileIcon)};
}

QIcon ImageList::image(int index) const {
  if (index < 1 || index > images_.size())
    return {};
  return images_.at(index - 1);
}

int nodeImage(const QTreeWidgetItem *node) { return node ? node->data(0, ImageRole).toInt() : 0; }

void setNodeImage(QTreeWidgetItem *node, const ImageList &images, int index) {
  if (!node)
    return;
  node->setData(0, ImageRole, index);
  node->setIcon(0, images.image(index));
}

void fillHistoryTree(QTreeWidget *tree, const ImageList &images, QLineEdit *receivedField,
                     QLineEdit *sentField) {
  addHistory(tree, images, mail::History::Received, QStringLiteral("着信履歴"), receivedField);
  addHistory(tree, images, mail::History::Sent, QStringLiteral("送信履歴"), sentField);
}

} // namespace korvex
