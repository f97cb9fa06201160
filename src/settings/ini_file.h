#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// What the settings reader and writer share: how they fail, how they fold names, and the
// file access they begin and end with. The access is the operating system's (settings/linux,
// settings/windows); nothing outside the settings file needs any of it.
namespace ini_detail {

// A settings file is a few kilobytes; anything near this is not one, and reading it 71
// times at start-up would stall the window.
constexpr qint64 kMaxFileBytes = 1 << 20;

// Throws IniError naming the file and the reason.
[[noreturn]] void Fail(const char* what, const QString& path, const QString& reason);
QByteArray AsciiLower(QByteArrayView text);

enum class Missing { Create, Refuse };
// The whole file, read only when it is a regular file of at most kMaxFileBytes; created
// empty when missing (unless told to refuse, as a check of someone's file must), and
// cleared of whatever marked it read-only (or hidden, on Windows). Never waits: a pipe,
// device or folder in the file's place is refused at once.
QByteArray LoadFile(const QString& path, Missing missing = Missing::Create);
// Replaces the file with `text` so that it is either the old or the new text, or rewrites it
// in place when the folder refuses new files.
void ReplaceFile(const QString& path, const QByteArray& text);

}  // namespace ini_detail
