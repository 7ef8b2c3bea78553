// The steps of one receive run over the maildrop: for each mail, delete it
// when an earlier run stored it (or its copy kept on the server is due),
// leave it when it is kept there, else fetch it, unpack it, store it and hand
// its deletion over. The receive routine (receive.cpp) opens the session,
// commits the run and reports.
#pragma once

#include "platform/messagebox.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace mail {

class ReceiveHost;
class ReceiveRun;
class UidlJournal;

struct RunOutcome {
  int stored = 0;
  int storedBefore = 0;         // stored by an earlier run, deleted on the server now
  bool stopped = false;         // a mail could not be stored; the rest stay on the server
  bool cancelled = false;       // the user stopped the run; the rest stay on the server
  int unread = 0;               // mails whose fetch failed; left on the server
  QString unreadReason;         // the transport's text for the last of them
  QStringList subjects;         // of the stored mails, for the desktop notification
  int overBudget = 0;           // stored with what was read of them within their budget
  QHash<int, QString> deleting; // number → id of each mail whose deletion was asked for
  int leftOnServer = 0;         // stored before and kept there as the user asked
  int beyondListing = 0;        // sent far past their listed size, left on the server
  QString beyondReason;
};

// Mails 1 to `count` of the session `handle`, as "サーバーに残す" says now;
// `stopRequested` is asked before each mail. `listed` gets every id the
// server listed, when it listed one for each mail.
RunOutcome receiveMessages(ReceiveHost &host, int handle, int count, UidlJournal &journal,
                           ReceiveRun &run, const std::function<bool()> &stopRequested,
                           std::optional<QSet<QString>> *listed);

// A box of the routine. When nobody watches the check (a scheduled one), it
// is shown without waiting, so that it never holds back the next check.
void tell(ReceiveHost &host, const QString &text, const QString &title, platform::MsgIcon icon);

} // namespace mail
