// Keeping copies of received mail on the server, so that a phone or another
// computer still finds them: whether to keep them, whether to delete them
// after some days, and whether deleting a record in the received history
// deletes its copy too. Kept in a file of its own in the data folder
// (servercopies.ini), so that the Windows program's files stay as they are.
//
// A receive asks at every check: the file is read anew each time. A file
// that is missing or cannot be read means nothing is kept, as the Windows
// program did: every stored mail is deleted on the server.
#pragma once

#include <QString>

#include <optional>

namespace settings {

struct ServerCopies {
  bool keep = false;             // "サーバーにメールを残す"
  int deleteAfterDays = 0;       // "n日後にサーバーから削除"; 0: never
  bool deleteWithRecord = false; // "受信履歴から削除したらサーバーからも削除"
  // The last two count only while `keep` is on; they are kept while it is
  // off so that turning it on again brings them back.
  bool operator==(const ServerCopies &) const = default;
};

// The most days a copy can be kept for before it is deleted (ten years);
// more is surely a typing mistake.
inline constexpr int MaxServerCopyDays = 3650;

QString serverCopiesPath(); // ★MAilData/servercopies.ini

ServerCopies serverCopies();
// Replaces the file whole, put on the disk before it counts. False when the
// data folder is missing, the file could not be written, or a day count is
// out of range.
bool saveServerCopies(const ServerCopies &copies);

// The day count as typed: blank is 0 (never); otherwise a whole number from
// 1 to MaxServerCopyDays, in half- or full-width digits. Nothing for
// anything else.
std::optional<int> parseServerCopyDays(const QString &text);

} // namespace settings
