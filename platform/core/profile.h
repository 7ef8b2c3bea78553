// Profile (INI) files with the semantics of the Windows profile functions:
// "[section]" lines and "key=value" lines, ANSI (CP932) text; sections and
// keys are matched without regard to letter case.
#pragma once

#include <QString>

namespace platform {

// GetPrivateProfileString: the value of `key` in `section` of `file`, or
// `defaultValue` when the file, section or key is missing. At most
// bufferSize - 1 bytes of the value are returned (cut at a character
// boundary). Surrounding blanks of the value are removed, as Windows does.
// The result's length is the count the Windows call would return.
QString getPrivateProfileString(const QString &section, const QString &key,
                                const QString &defaultValue, int bufferSize,
                                const QString &file);

// WritePrivateProfileString: sets `key` in `section`, creating the file and
// the section when missing and keeping every other line of the file as it
// was. The file is replaced atomically (temporary file, then rename) and is
// readable by its owner alone (0600), an older one too once rewritten.
// False when the write failed.
bool writePrivateProfileString(const QString &section, const QString &key,
                               const QString &value, const QString &file);

} // namespace platform
