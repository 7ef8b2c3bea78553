// What the unpack step of one mail came to, as the NMail face returns it
// from NMailAttachmentFileFirst.
#pragma once

namespace nmail {

inline constexpr int NMailAttachmentWritten = 1;
inline constexpr int NMailAttachmentOpenError = -5;
inline constexpr int NMailAttachmentPartial = -6;
inline constexpr int NMailAttachmentNone = 0;

} // namespace nmail
