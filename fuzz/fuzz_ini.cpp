// Fuzzing of ReadIni and WriteIni on a real file in a private temporary folder.
//
// Input layout: the bytes up to the first LF are "[S]K=V" and name what to read and
// write; everything after that LF is the settings file as it lies on disk before the
// calls. "[S]" may be left out or empty, and K may be empty: then the section and key
// are drawn from the file's own "[...]" and "...=" lines, so mutations of the file keep
// hitting names that exist in it. An input without any LF means "no file at all".
//
// Every input is read and written whatever bytes the names hold: nothing may crash,
// hang, leak or throw. When section S, key K and value V hold no CR, LF or "[", these
// also hold after WriteIni(S, K, V):
//   1. ReadIni(S, K) == V (round trip);
//   2. every other section and key named in the file reads the same as before;
//   3. a second identical WriteIni leaves the file byte for byte as it was;
//   4. the file ends in CR LF, its first and last lines hold more than bytes 0..13, and
//      it holds no three CR LF in a row (the layout the writer promises);
//   5. ReadIni never changes an existing file.
//
// Why exactly those bytes are barred, worked out from the two routines:
//   - CR ends a line for both, so a CR in a name or value splits its line.
//   - A line holding "[" ends the section for both, so it can never be a key line.
//   - An LF inside a line is text to the reader but a line start to the writer, which
//     looks for "\nK="; a value holding LF can hide a false key line for later writes.
//     In a name, an LF right behind a header that ends in a lone CR would fuse with
//     that CR into a CR LF.
//   - Bytes 0..13 other than CR and LF are ordinary name bytes, even at the start or
//     end of a name: a key line always follows its header and a header starts with
//     "[", so the writer's trimming of bytes 0..13 off both ends of the file never
//     reaches a name. It does reach the end of a value that ends up on the last line.
//   - "=" in a key and "]" in a section name let two names share a line (key "a" reads
//     the line of key "a=b"); the input layout cannot even express them. Empty names,
//     "]" in a key and "=" in a section name round-trip, so checks 1 and 3 take them,
//     but check 2 only runs for names that are not empty and hold neither byte.
//
// Some inputs break a check because of what the file layout has always done: the writer
// trims bytes 0..13 off both ends of the whole file, and it replaces a key line even when
// the value on it holds a "[" (which the reader takes for a section line). Stored files
// rely on that layout, so these are kept; they are recognised from the input alone,
// counted and printed at exit. POSKAVELIN_FUZZ_STRICT=1 makes them fail as well.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <utility>

#include "settings/ini.h"

namespace {

bool gStrict = false;
std::unique_ptr<QTemporaryDir> gDir;
QString gPath;

enum Known {
    kLeadingControl,
    kTrailingControl,
    kBracketKeyLine,
    kKnownCount,
};

const char* const kKnownNames[kKnownCount] = {
    "leading control bytes trimmed off the first line",
    "trailing control bytes trimmed off the last value",
    "key line holding a \"[\" replaced by the writer",
};

unsigned long gKnownHits[kKnownCount] = {};

void printKnownHits() {
    for (int i = 0; i < kKnownCount; ++i) {
        if (gKnownHits[i] != 0) {
            std::fprintf(stderr, "fuzz_ini: kept layout rule \"%s\": %lu inputs\n", kKnownNames[i],
                         gKnownHits[i]);
        }
    }
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) <= 13;
}

QByteArray asciiLower(QByteArray text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + ('a' - 'A'));
        }
    }
    return text;
}

QByteArray withoutTrailingControl(QByteArray text) {
    while (!text.isEmpty() && isControl(text.back())) {
        text.chop(1);
    }
    return text;
}

// No CR, LF or "[": see the top of this file.
bool staysOnItsLine(const QByteArray& text) {
    return !text.contains('\r') && !text.contains('\n') && !text.contains('[');
}

// A name that no line of another name can match: see the top of this file.
bool isDistinctName(const QByteArray& name) {
    return !name.isEmpty() && staysOnItsLine(name) && !name.contains(']') && !name.contains('=');
}

// The reader's view of the file, built separately from it: a line ends at CR LF or a
// lone CR, and remembers whether it began right behind a lone CR.
struct Line {
    QByteArray text;
    bool afterLoneCr = false;
};

QList<Line> splitLines(const QByteArray& file) {
    QList<Line> lines;
    bool afterLoneCr = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= file.size(); ++i) {
        if (i < file.size() && file[i] != '\r') {
            continue;
        }
        if (i < file.size() || start < file.size()) {
            lines.append({file.mid(start, i - start), afterLoneCr});
        }
        const bool crlf = i + 1 < file.size() && file[i + 1] == '\n';
        afterLoneCr = i < file.size() && !crlf;
        start = crlf ? i + 2 : i + 1;
        i = start - 1;
    }
    return lines;
}

// Section name of a header line, or an empty array for any other line.
QByteArray headerName(const QByteArray& line) {
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        return line.mid(1, line.size() - 2);
    }
    return {};
}

struct Pair {
    QByteArray section;
    QByteArray key;
};

// Every section named by a "[...]" line crossed with every key named by a "...=" line,
// lower-cased: this also covers keys that a write could wrongly bring into a section.
QList<Pair> candidatePairs(const QByteArray& file, qsizetype limit) {
    QList<QByteArray> sections;
    QList<QByteArray> keys;
    for (const Line& line : splitLines(file)) {
        const qsizetype eq = line.text.indexOf('=');
        QList<QByteArray>& names = line.text.contains('[') ? sections : keys;
        const QByteArray name =
            asciiLower(line.text.contains('[') ? headerName(line.text) : line.text.left(eq));
        if (isDistinctName(name) && (&names == &sections || eq > 0) && !names.contains(name)) {
            names.append(name);
        }
    }
    QList<Pair> pairs;
    for (const QByteArray& section : sections) {
        for (const QByteArray& key : keys) {
            if (pairs.size() < limit) {
                pairs.append({section, key});
            }
        }
    }
    return pairs;
}

// The writer trims bytes 0..13 off the start of the whole file. When they are not whole
// lines, the first line loses them: "\t[s]" or "\n[s]", which the reader ignores, turns
// into the header "[s]" and its keys come to life.
bool hasLeadingControlInLine(const QByteArray& file) {
    qsizetype p = 0;
    while (p < file.size() && isControl(file[p])) {
        ++p;
    }
    if (p == 0 || p == file.size()) {
        return false;
    }
    const bool atLineStart = file[p - 1] == '\r' || (p >= 2 && file.mid(p - 2, 2) == "\r\n");
    if (atLineStart) {
        return false;
    }
    const qsizetype cr = file.indexOf('\r', p);
    return file.mid(p, cr < 0 ? -1 : cr - p).contains('[');
}

// The writer ends a section at the first line holding "[" but accepts a key line that
// has the "[" after the key; the reader takes such a line as the end of the section. Replacing it
// drops that boundary, and the lines below join the section.
bool hasBracketKeyLine(const QByteArray& file, const QByteArray& key) {
    const QByteArray start = asciiLower(key) + '=';
    for (const Line& line : splitLines(file)) {
        if (asciiLower(line.text).startsWith(start) && line.text.contains('[')) {
            return true;
        }
    }
    return false;
}

QByteArray shown(const QByteArray& bytes) {
    QByteArray out;
    for (const char c : bytes.left(600)) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u >= 0x7f) {
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        } else {
            out += c;
        }
    }
    return bytes.size() > 600 ? out + "..." : out;
}

struct Case {
    QByteArray file;
    bool hasFile = false;
    QByteArray section;
    QByteArray key;
    QByteArray value;
};

[[noreturn]] void fail(const Case& c, const char* what, const QByteArray& detail) {
    std::fprintf(stderr,
                 "fuzz_ini: %s\n  section \"%s\"\n  key \"%s\"\n  value \"%s\"\n"
                 "  file before \"%s\"\n  %s\n",
                 what, shown(c.section).constData(), shown(c.key).constData(),
                 shown(c.value).constData(), c.hasFile ? shown(c.file).constData() : "(none)",
                 detail.constData());
    std::abort();
}

// True when a known defect explains the failure; then the input is only counted.
bool excused(bool known, Known which) {
    if (!known || gStrict) {
        return false;
    }
    ++gKnownHits[which];
    return true;
}

QByteArray slurp() {
    QFile file(gPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "fuzz_ini: cannot read back %s\n", qPrintable(gPath));
        std::abort();
    }
    return file.readAll();
}

void spit(const QByteArray& bytes) {
    QFile file(gPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "fuzz_ini: cannot prepare %s\n", qPrintable(gPath));
        std::abort();
    }
}

Case parse(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype lf = input.indexOf('\n');
    Case c;
    c.hasFile = lf >= 0;
    c.file = c.hasFile ? input.mid(lf + 1) : QByteArray();
    QByteArray control = c.hasFile ? input.left(lf) : input;
    if (control.startsWith('[')) {
        const qsizetype close = control.indexOf(']');
        c.section = control.mid(1, close < 0 ? -1 : close - 1);
        control = close < 0 ? QByteArray() : control.mid(close + 1);
    }
    const qsizetype eq = control.indexOf('=');
    c.key = control.left(eq);
    c.value = eq < 0 ? QByteArray() : control.mid(eq + 1);

    // Drawn names: the n-th header and the n-th key of the file, n set by the lengths
    // of the other fields so the fuzzer can steer it.
    QList<QByteArray> sections;
    QList<QByteArray> keys;
    for (const Line& line : splitLines(c.file)) {
        if (line.text.contains('[')) {
            const qsizetype open = line.text.indexOf('[');
            const qsizetype close = line.text.indexOf(']', open);
            sections.append(line.text.mid(open + 1, close < 0 ? -1 : close - open - 1));
        } else if (line.text.indexOf('=') > 0) {
            keys.append(line.text.left(line.text.indexOf('=')));
        }
    }
    if (c.section.isEmpty() && !sections.isEmpty()) {
        c.section = sections[c.key.size() % sections.size()];
    }
    if (c.key.isEmpty() && !keys.isEmpty()) {
        c.key = keys[c.value.size() % keys.size()];
    }
    return c;
}

QByteArray read(const Case& c, const QByteArray& section, const QByteArray& key) {
    try {
        return ReadIni(gPath, section, key);
    } catch (const std::exception& e) {
        fail(c, "ReadIni threw", e.what());
    }
}

void write(const Case& c) {
    try {
        WriteIni(gPath, c.section, c.key, c.value);
    } catch (const std::exception& e) {
        fail(c, "WriteIni threw", e.what());
    }
}

bool holdsText(const QByteArray& line) {
    for (const char c : line) {
        if (!isControl(c)) {
            return true;
        }
    }
    return false;
}

void checkLayout(const Case& c, const QByteArray& written) {
    const QList<Line> lines = splitLines(written);
    const bool ok = !lines.isEmpty() && holdsText(lines.front().text) &&
                    holdsText(lines.back().text) && written.endsWith("\r\n") &&
                    !written.contains("\r\n\r\n\r\n");
    if (!ok) {
        fail(c, "file layout after WriteIni", "file after \"" + shown(written) + '"');
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gStrict = qEnvironmentVariableIntValue("POSKAVELIN_FUZZ_STRICT") != 0;
    gDir = std::make_unique<QTemporaryDir>();
    if (!gDir->isValid()) {
        std::fprintf(stderr, "fuzz_ini: no temporary folder: %s\n",
                     qPrintable(gDir->errorString()));
        std::abort();
    }
    gPath = QDir(gDir->path()).filePath(QStringLiteral("PosKavelin.ini"));
    std::atexit([] {
        printKnownHits();
        gDir.reset();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Case c = parse(data, size);
    if (c.hasFile) {
        spit(c.file);
    } else {
        QFile::remove(gPath);
    }

    const QByteArray lowerSection = asciiLower(c.section);
    const QByteArray lowerKey = asciiLower(c.key);
    QList<Pair> others;
    QList<QByteArray> othersBefore;
    for (const Pair& p : candidatePairs(c.file, 16)) {
        if (p.section != lowerSection || p.key != lowerKey) {
            others.append(p);
            othersBefore.append(read(c, p.section, p.key));
        }
    }
    read(c, c.section, c.key);
    const QByteArray untouched = slurp();
    if (c.hasFile && untouched != c.file) {
        fail(c, "ReadIni changed the file", "file after \"" + shown(untouched) + '"');
    }

    write(c);
    if (!staysOnItsLine(c.section) || !staysOnItsLine(c.key) || !staysOnItsLine(c.value)) {
        read(c, c.section, c.key);
        return 0;
    }

    const QByteArray written = slurp();
    checkLayout(c, written);

    const bool leading = hasLeadingControlInLine(c.file);
    const bool bracketKey = hasBracketKeyLine(c.file, c.key);

    const QByteArray got = read(c, c.section, c.key);
    if (got != c.value) {
        const bool trailing = !c.value.isEmpty() && isControl(c.value.back()) &&
                              got == withoutTrailingControl(c.value);
        if (!excused(leading, kLeadingControl) && !excused(trailing, kTrailingControl)) {
            fail(c, "ReadIni after WriteIni gave another value",
                 "read \"" + shown(got) + "\"\n  file after \"" + shown(written) + '"');
        }
        return 0;
    }

    const bool distinct = isDistinctName(c.section) && isDistinctName(c.key);
    for (qsizetype i = 0; distinct && i < others.size(); ++i) {
        const QByteArray after = read(c, others[i].section, others[i].key);
        if (after == othersBefore[i]) {
            continue;
        }
        const QByteArray& before = othersBefore[i];
        const bool trailing = !before.isEmpty() && isControl(before.back()) &&
                              after == withoutTrailingControl(before);
        if (!excused(leading, kLeadingControl) && !excused(bracketKey, kBracketKeyLine) &&
            !excused(trailing, kTrailingControl)) {
            fail(c, "WriteIni changed another key",
                 "other [" + shown(others[i].section) + "] " + shown(others[i].key) + " was \"" +
                     shown(before) + "\", now \"" + shown(after) + "\"\n  file after \"" +
                     shown(written) + '"');
        }
        return 0;
    }

    write(c);
    const QByteArray again = slurp();
    if (again != written && !excused(leading, kLeadingControl)) {
        fail(c, "a second identical WriteIni changed the file",
             "first \"" + shown(written) + "\"\n  second \"" + shown(again) + '"');
    }
    return 0;
}
