#pragma once

#include <QByteArray>
#include <QList>
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

// The same lookup in a file's text already loaded, so one load serves every key of a
// start-up, a reload or a check and all of them see the same bytes.
QByteArray iniValue(const QByteArray& text, const QByteArray& section, const QByteArray& key);

// Sets the key in the section, adding what is missing, and rewrites the whole file
// atomically. Throws IniError when the file cannot be created, read or written.
void WriteIni(const QString& path, const QByteArray& section, const QByteArray& key,
              const QByteArray& value);

// One line of the settings file as ReadIni sees it, for checks that must agree with it on
// where a line ends and which section it is in.
struct IniLine {
    // Where the line starts, as an editor counts lines: a lone LF, which does not end a
    // line here, still starts a new one there.
    int number = 0;
    QByteArray text;     // as written, without its line end
    QByteArray heading;  // the section line it falls under, itself for one; empty before any
    bool isHeading = false;
};

// Every line of the file, split as ReadIni splits it. Throws IniError as ReadIni does.
QList<IniLine> readIniLines(const QString& path);
// The same for a file's text already loaded.
QList<IniLine> iniLines(const QByteArray& text);

// Whether ReadIni takes a section line for the heading of `section`.
bool iniOpensSection(QByteArrayView heading, QByteArrayView section);

// Whether ReadIni takes a line of the key's section for the key's value line.
bool isIniKeyLine(QByteArrayView line, QByteArrayView key);
