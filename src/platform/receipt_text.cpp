#include "platform/receipt_text.h"

#include <QStringDecoder>
#include <utility>

namespace {

// Windows-1252's 0x80-0x9F; the five holes stay C1 controls, as Windows decodes them,
// and are then dropped like every other control character.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

QString receiptText(const QByteArray& bytes) {
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8(bytes);
    if (!utf8.hasError())
        return text;
    text.resize(bytes.size());
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto byte = uchar(bytes[i]);
        text[i] = QChar(byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte);
    }
    return text;
}

void appendReceiptLines(const QString& text, QStringList* lines) {
    QString line;
    bool ends_with_break = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        ends_with_break = false;
        switch (c.unicode()) {
            case '\r':
                if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                    ++i;
                [[fallthrough]];
            case '\n':
            case '\v':
            case '\f':
                lines->append(std::exchange(line, QString()));
                ends_with_break = true;
                continue;
            case '\t':
                line.append(QString(8 - line.size() % 8, u' '));
                continue;
            default:
                break;
        }
        // ESC/POS commands and stray NULs would show up as boxes on paper.
        if (c.category() == QChar::Other_Control)
            continue;
        line.append(c);
    }
    if (!ends_with_break)
        lines->append(line);
}
