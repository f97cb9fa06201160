#include "shaping/transcoder.h"

#include <algorithm>

namespace {

const char* icuName(CodePage page) {
    switch (page) {
        case CodePage::kCp437:
            return "IBM437";
        case CodePage::kCp850:
            return "IBM850";
        case CodePage::kCp858:
            return "IBM00858";
        case CodePage::kCp1252:
            return "windows-1252";
        case CodePage::kUtf8:
            return "UTF-8";
        case CodePage::kGb18030:
            return "GB18030";
        case CodePage::kNone:
            break;
    }
    return "UTF-8";
}

struct EpsonTable {
    int number;
    const char* icuName;
};

// Epson's ESC t n tables that ICU can decode. The Katakana, Thai, Vietnamese and
// user-defined tables have no ICU counterpart.
constexpr EpsonTable kEpsonTables[] = {
    {0, "IBM437"},        {2, "IBM850"},        {3, "IBM860"},        {4, "IBM863"},
    {5, "IBM865"},        {11, "IBM851"},       {13, "IBM857"},       {14, "IBM737"},
    {15, "ISO-8859-7"},   {16, "windows-1252"}, {17, "IBM866"},       {18, "IBM852"},
    {19, "IBM00858"},     {32, "IBM720"},       {33, "IBM775"},       {34, "IBM855"},
    {35, "IBM861"},       {36, "IBM862"},       {37, "IBM864"},       {38, "IBM869"},
    {39, "ISO-8859-2"},   {40, "ISO-8859-15"},  {41, "IBM1098"},      {44, "IBM1125"},
    {45, "windows-1250"}, {46, "windows-1251"}, {47, "windows-1253"}, {48, "windows-1254"},
    {49, "windows-1255"}, {50, "windows-1256"}, {51, "windows-1257"}, {52, "windows-1258"},
};

int epsonTableOf(CodePage page) {
    switch (page) {
        case CodePage::kCp437:
            return 0;
        case CodePage::kCp850:
            return 2;
        case CodePage::kCp1252:
            return 16;
        case CodePage::kCp858:
            return 19;
        default:
            return -1;
    }
}

const char* epsonTableName(int table) {
    for (const EpsonTable& known : kEpsonTables) {
        if (known.number == table) {
            return known.icuName;
        }
    }
    return nullptr;
}

// Room for a character held over from the last call, beyond what Qt reckons for the input.
constexpr qsizetype kSlack = 8;

// How many bytes at the end of `text` start a character that is not complete yet.
qsizetype incompleteTail(QByteArrayView text, ByteForm form) {
    const qsizetype n = text.size();
    if (form == ByteForm::kUtf8) {
        for (qsizetype k = 1; k <= std::min<qsizetype>(3, n); ++k) {
            const auto c = static_cast<unsigned char>(text[n - k]);
            if ((c & 0xC0) != 0x80) {
                return utf8Length(c) > k ? k : 0;
            }
        }
        return 0;
    }
    // GB18030 only reads forwards. A byte that breaks a sequence is taken as the start of
    // the next character, as ICU does, so both agree on where the last one starts.
    const auto lead = [&](qsizetype i) {
        const auto c = static_cast<unsigned char>(text[i]);
        return c >= 0x81 && c <= 0xFE;
    };
    const auto digit = [&](qsizetype i) { return text[i] >= '0' && text[i] <= '9'; };
    qsizetype i = 0;
    while (i < n) {
        if (!lead(i)) {
            ++i;
        } else if (i + 1 == n || (digit(i + 1) && (i + 2 == n || (lead(i + 2) && i + 3 == n)))) {
            return n - i;
        } else if (digit(i + 1)) {
            i += lead(i + 2) && digit(i + 3) ? 4 : 1;
        } else {
            const auto trail = static_cast<unsigned char>(text[i + 1]);
            i += (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE) ? 2 : 1;
        }
    }
    return 0;
}

}  // namespace

Transcoder::Transcoder(CodePage from, CodePage to)
    : from_(from),
      own_(icuName(from), from == CodePage::kUtf8 ? QStringConverter::Flag::Stateless
                                                  : QStringConverter::Flag::Default),
      current_(&own_),
      // The flag turns what the DVR's code page lacks into a NUL, which convert() turns
      // into '?'; ICU's own stand-ins are 0x1A or 0x7F, which DVRs show as nothing or as
      // a glyph of the code page.
      encoder_(icuName(to), QStringConverter::Flag::ConvertInvalidToNull) {}

void Transcoder::selectCharacterSet(int table, int multiByte) {
    QStringDecoder* next = &own_;
    bool asciiOnly = false;
    if (byteFormOf(from_) != ByteForm::kSingleByte && multiByte == 0) {
        // Out of multi-byte mode a UTF-8 or GB18030 printer prints from a character
        // table like any other, table 0 unless the stream chose one.
        table = std::max(table, 0);
    }
    const bool ownText = byteFormOf(from_) != ByteForm::kSingleByte && multiByte != 0;
    if (!ownText && table >= 0 && table != epsonTableOf(from_)) {
        if (const char* const name = epsonTableName(table)) {
            next = &tables_.try_emplace(table, name).first->second;
        } else {
            asciiOnly = true;
        }
    }
    if (next == current_ && asciiOnly == asciiOnly_) {
        return;
    }
    // A character cut off by a change of table is no character; dropping it keeps it from
    // turning up behind text of the other table when the stream switches back.
    current_->resetState();
    held_.clear();
    current_ = next;
    asciiOnly_ = asciiOnly;
}

void Transcoder::convert(QByteArrayView in, QByteArray& out) {
    QByteArray tail;
    if (current_ == &own_ && byteFormOf(from_) != ByteForm::kSingleByte) {
        // Holding the start of a character from its last call, Qt 6.4's UTF-8 decoder and
        // its ICU GB18030 one drop the next byte when it does not continue the character:
        // UTF-8 "\xe2" then "Az" decodes as U+FFFD, "z". So the decoders are only given
        // whole characters, and the start of one at the end of an arrival waits here for
        // the rest. What comes before that start is decided already.
        if (!held_.isEmpty()) {
            held_.append(in);
            in = held_;
        }
        const qsizetype held = incompleteTail(in, byteFormOf(from_));
        tail = in.last(held).toByteArray();
        in.chop(held);
    }
    decode(in, out);
    held_ = tail;
}

void Transcoder::decode(QByteArrayView in, QByteArray& out) {
    if (in.isEmpty()) {
        return;
    }
    utf16_.resize(in.size() + current_->requiredSpace(in.size()) + kSlack);
    QChar* const begin = utf16_.data();
    QChar* end = begin;
    if (asciiOnly_) {
        for (const char c : in) {
            if (static_cast<unsigned char>(c) < 0x80) {
                *end++ = QLatin1Char(c);
            }
        }
    } else {
        end = current_->appendToBuffer(begin, in);
    }
    const QStringView text(begin, end - begin);
    const qsizetype old = out.size();
    out.resize(old + encoder_.requiredSpace(text.size()) + kSlack);
    char* const written = encoder_.appendToBuffer(out.data() + old, text);
    out.resize(written - out.constData());
    // A NUL here is a character the DVR's code page lacks (see the constructor); a NUL
    // the terminal sent itself shows as '?' as well.
    std::replace(out.begin() + old, out.end(), '\0', '?');
}

void Transcoder::reset() {
    held_.clear();
    own_.resetState();
    for (auto& [table, decoder] : tables_) {
        decoder.resetState();
    }
    selectCharacterSet(-1, -1);
}
