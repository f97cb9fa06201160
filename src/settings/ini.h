#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

// The settings file is bytes: names compare with ASCII-only lower-casing, values are
// stored and returned as given (the file's layout trims bytes 0 to 13 off its very end,
// so a value on the last line loses trailing ones). Both functions go to the file on
// every call.

class IniError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Value of the first matching key line of the section, or "" when the file, the section
// or the key is missing. Creates the file, empty, when it does not exist. Throws IniError
// (naming the file and the system's reason) when the file cannot be created or read.
QByteArray ReadIni(const QString& path, const QByteArray& section, const QByteArray& key);

// Sets the key in the section, adding what is missing, and rewrites the whole file
// atomically. Throws IniError when the file cannot be created, read or written.
void WriteIni(const QString& path, const QByteArray& section, const QByteArray& key,
              const QByteArray& value);
