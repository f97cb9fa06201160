#include "shaping/shaping_options.h"

#include <array>
#include <utility>

#include "settings/setting_numbers.h"

namespace {

constexpr std::array<std::pair<const char*, CodePage>, 6> kCodePageNames = {{
    {"cp437", CodePage::kCp437},
    {"cp850", CodePage::kCp850},
    {"cp858", CodePage::kCp858},
    {"cp1252", CodePage::kCp1252},
    {"utf-8", CodePage::kUtf8},
    {"gb18030", CodePage::kGb18030},
}};

std::optional<CodePage> codePageNamed(const QByteArray& name) {
    for (const auto& [text, page] : kCodePageNames) {
        if (name == text) {
            return page;
        }
    }
    return std::nullopt;
}

}  // namespace

ByteForm byteFormOf(CodePage page) {
    return page == CodePage::kUtf8      ? ByteForm::kUtf8
           : page == CodePage::kGb18030 ? ByteForm::kGb18030
                                        : ByteForm::kSingleByte;
}

int utf8Length(unsigned char lead) {
    return lead >= 0xF0 && lead <= 0xF4  ? 4
           : lead >= 0xE0 && lead < 0xF0 ? 3
           : lead >= 0xC2 && lead < 0xE0 ? 2
                                         : 1;
}

qsizetype gb18030Length(QByteArrayView text, qsizetype at) {
    const auto in = [&text](qsizetype i, unsigned char low, unsigned char high) {
        const auto c = static_cast<unsigned char>(text[i]);
        return c >= low && c <= high;
    };
    if (!in(at, 0x81, 0xFE)) {
        return 1;
    }
    if (at + 1 >= text.size()) {
        return 0;
    }
    if (in(at + 1, 0x40, 0x7E) || in(at + 1, 0x80, 0xFE)) {
        return 2;
    }
    if (!in(at + 1, 0x30, 0x39)) {
        return 1;
    }
    if (at + 2 >= text.size()) {
        return 0;
    }
    if (!in(at + 2, 0x81, 0xFE)) {
        return 1;
    }
    if (at + 3 >= text.size()) {
        return 0;
    }
    return in(at + 3, 0x30, 0x39) ? 4 : 1;
}

bool ShapingOptions::transcodes() const {
    return dvrCodePage != CodePage::kNone && (dvrCodePage != codePage || filter != Filter::kNone);
}

bool ShapingOptions::any() const {
    return lines || filter != Filter::kNone || maskPan || transcodes();
}

std::optional<ShapingOptions> ShapingOptions::parse(const Lookup& value, QString* badKey,
                                                    QString* why) {
    const auto bad = [&](const char* key, const QByteArray& text, const QString& reason) {
        if (badKey != nullptr) {
            *badKey = QString::fromLatin1(key);
        }
        if (why != nullptr) {
            *why = QStringLiteral("\"%1\": %2").arg(QString::fromLatin1(text), reason);
        }
        return std::optional<ShapingOptions>();
    };
    const auto text = [&](const char* key) {
        const std::optional<QByteArray> raw = value(key);
        return raw ? raw->trimmed().toLower() : QByteArray();
    };

    ShapingOptions options;
    const QByteArray lines = text("LINES");
    if (!lines.isEmpty() && lines != "0" && lines != "1") {
        return bad("LINES", lines, QStringLiteral("expected 0 or 1"));
    }
    options.lines = lines == "1";

    const auto range = [&](const char* key, int low, int high, int& field) {
        const QByteArray digits = text(key);
        if (digits.isEmpty()) {
            return true;
        }
        const std::optional<int> n = setting_numbers::digitsValue(digits, low, high);
        if (!n) {
            bad(key, digits,
                QStringLiteral("expected a whole number from %1 to %2").arg(low).arg(high));
            return false;
        }
        field = *n;
        return true;
    };
    if (!range("LINE_IDLE_MS", kMinLineIdleMs, kMaxLineIdleMs, options.lineIdleMs) ||
        !range("LINE_MAX", kMinLineMax, kMaxLineMax, options.lineMax)) {
        return std::nullopt;
    }

    const QByteArray filter = text("FILTER");
    if (!filter.isEmpty() && filter != "escpos" && filter != "star" && filter != "none") {
        return bad("FILTER", filter, QStringLiteral("expected escpos, star or none"));
    }
    options.filter = filter == "escpos" ? Filter::kEscPos
                     : filter == "star" ? Filter::kStar
                                        : Filter::kNone;

    const QByteArray escT = text("ESC_T");
    if (!escT.isEmpty() && escT != "follow" && escT != "ignore") {
        return bad("ESC_T", escT, QStringLiteral("expected follow or ignore"));
    }
    options.followEscT = escT != "ignore";

    const QString pages = QStringLiteral("expected cp437, cp850, cp858, cp1252, utf-8 or gb18030");
    for (const auto& [key, field] : {std::pair{"CODEPAGE", &options.codePage},
                                     std::pair{"DVR_CODEPAGE", &options.dvrCodePage}}) {
        const QByteArray name = text(key);
        if (name.isEmpty()) {
            continue;
        }
        const std::optional<CodePage> page = codePageNamed(name);
        if (!page) {
            return bad(key, name, pages);
        }
        *field = *page;
    }
    if (options.dvrCodePage != CodePage::kNone && options.codePage == CodePage::kNone) {
        return bad("DVR_CODEPAGE", text("DVR_CODEPAGE"),
                   QStringLiteral("needs CODEPAGE, the terminal's code page, to convert from"));
    }

    const QByteArray mask = text("MASK");
    if (!mask.isEmpty() && mask != "pan" && mask != "none") {
        return bad("MASK", mask, QStringLiteral("expected pan or none"));
    }
    options.maskPan = mask == "pan";
    return options;
}
