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

struct KnownTable {
    int number;
    const char* icuName;
};

// Epson's ESC t n tables that ICU can decode. Page 1 (Katakana) is our own; the Thai,
// Vietnamese and user-defined tables no one has.
constexpr KnownTable kEpsonTables[] = {
    {0, "IBM437"},        {2, "IBM850"},        {3, "IBM860"},        {4, "IBM863"},
    {5, "IBM865"},        {11, "IBM851"},       {13, "IBM857"},       {14, "IBM737"},
    {15, "ISO-8859-7"},   {16, "windows-1252"}, {17, "IBM866"},       {18, "IBM852"},
    {19, "IBM00858"},     {32, "IBM720"},       {33, "IBM775"},       {34, "IBM855"},
    {35, "IBM861"},       {36, "IBM862"},       {37, "IBM864"},       {38, "IBM869"},
    {39, "ISO-8859-2"},   {40, "ISO-8859-15"},  {41, "IBM1098"},      {44, "IBM1125"},
    {45, "windows-1250"}, {46, "windows-1251"}, {47, "windows-1253"}, {48, "windows-1254"},
    {49, "windows-1255"}, {50, "windows-1256"}, {51, "windows-1257"}, {52, "windows-1258"},
};

// Star's ESC GS t n tables that ICU can decode (StarPRNT Command Specifications). Tables 0
// (Normal) and 2 (Katakana) are our own.
constexpr KnownTable kStarTables[] = {
    {1, "IBM437"},        {4, "IBM00858"},      {5, "IBM852"},  {6, "IBM860"},
    {7, "IBM861"},        {8, "IBM863"},        {9, "IBM865"},  {10, "IBM866"},
    {11, "IBM855"},       {12, "IBM857"},       {13, "IBM862"}, {14, "IBM864"},
    {15, "IBM737"},       {16, "IBM851"},       {17, "IBM869"}, {32, "windows-1252"},
    {33, "windows-1250"}, {34, "windows-1251"},
};

// The table a channel's CODEPAGE is, in each numbering, so that selecting it is no change.
int ownTableOf(CodePage page, Transcoder::Tables tables) {
    const bool star = tables == Transcoder::Tables::kStar;
    switch (page) {
        case CodePage::kCp437:
            return star ? 1 : 0;
        case CodePage::kCp850:
            return star ? -1 : 2;
        case CodePage::kCp1252:
            return star ? 32 : 16;
        case CodePage::kCp858:
            return star ? 4 : 19;
        default:
            return -1;
    }
}

const char* icuNameOf(int table, Transcoder::Tables tables) {
    if (tables == Transcoder::Tables::kStar) {
        for (const KnownTable& known : kStarTables) {
            if (known.number == table) {
                return known.icuName;
            }
        }
        return nullptr;
    }
    for (const KnownTable& known : kEpsonTables) {
        if (known.number == table) {
            return known.icuName;
        }
    }
    return nullptr;
}

// Our own table for what ICU lacks, or nullptr.
const UpperHalf* ownUpperHalf(int table, Transcoder::Tables tables) {
    if (tables == Transcoder::Tables::kStar) {
        return table == 0 ? &kStarNormal : table == 2 ? &kStarKatakana : nullptr;
    }
    return table == 1 ? &kEpsonKatakana : nullptr;
}

// A table no one has: ASCII decodes as itself, the upper half to nothing.
constexpr UpperHalf kUnknownUpperHalf = [] {
    UpperHalf table{};
    for (char16_t& c : table) {
        c = u'\uFFFD';
    }
    return table;
}();

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

Transcoder::Transcoder(CodePage from, CodePage to, Tables tables, bool scrub)
    : from_(from),
      tables_(tables),
      scrub_(scrub),
      own_(icuName(from), from == CodePage::kUtf8 ? QStringConverter::Flag::Stateless
                                                  : QStringConverter::Flag::Default),
      current_(&own_),
      // The flag turns what the DVR's code page lacks into a NUL, which convert() turns
      // into '?'; ICU's own stand-ins are 0x1A or 0x7F, which DVRs show as nothing or as
      // a glyph of the code page.
      encoder_(icuName(to), QStringConverter::Flag::ConvertInvalidToNull) {}

void Transcoder::selectCharacterSet(int table, int multiByte, int national) {
    national_ = nationalSet(national);
    QStringDecoder* next = &own_;
    const UpperHalf* upperHalf = nullptr;
    if (byteFormOf(from_) != ByteForm::kSingleByte && multiByte == 0) {
        // Out of multi-byte mode a UTF-8 or GB18030 printer prints from a character
        // table like any other, table 0 unless the stream chose one.
        table = std::max(table, 0);
    }
    const bool ownText = byteFormOf(from_) != ByteForm::kSingleByte && multiByte != 0;
    if (!ownText && table >= 0 && table != ownTableOf(from_, tables_)) {
        if (const char* const name = icuNameOf(table, tables_)) {
            next = &decoders_.try_emplace(table, name).first->second;
        } else {
            upperHalf = ownUpperHalf(table, tables_);
            if (upperHalf == nullptr) {
                upperHalf = &kUnknownUpperHalf;
            }
        }
    }
    if (next == current_ && upperHalf == upperHalf_) {
        return;
    }
    // A character cut off by a change of table is no character; dropping it keeps it from
    // turning up behind text of the other table when the stream switches back.
    current_->resetState();
    held_.clear();
    current_ = next;
    upperHalf_ = upperHalf;
}

void Transcoder::convert(QByteArrayView in, QByteArray& out) {
    QByteArray tail;
    if (current_ == &own_ && upperHalf_ == nullptr && byteFormOf(from_) != ByteForm::kSingleByte) {
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
    if (upperHalf_ != nullptr) {
        for (const char c : in) {
            const auto byte = static_cast<unsigned char>(c);
            *end++ = QChar(byte < 0x80 ? char16_t{byte} : (*upperHalf_)[byte - 0x80]);
        }
    } else {
        end = current_->appendToBuffer(begin, in);
    }
    for (QChar* c = begin; c != end; ++c) {
        const char16_t u = c->unicode();
        if (u < 0x80) {
            if (scrub_ && ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7F)) {
                *c = QLatin1Char('?');
                ++replaced_;
            } else if (national_ != nullptr) {
                *c = QChar((*national_)[u]);
            }
        } else if (u == 0xFFFD || (scrub_ && u <= 0x9F)) {
            *c = QLatin1Char('?');
            ++replaced_;
        }
    }
    const QStringView text(begin, end - begin);
    const qsizetype old = out.size();
    out.resize(old + encoder_.requiredSpace(text.size()) + kSlack);
    char* const written = encoder_.appendToBuffer(out.data() + old, text);
    out.resize(written - out.constData());
    // A NUL here is a character the DVR's code page lacks (see the constructor); a NUL
    // the terminal sent itself shows as '?' as well.
    for (auto it = out.begin() + old; it != out.end(); ++it) {
        if (*it == '\0') {
            *it = '?';
            ++replaced_;
        }
    }
}

void Transcoder::reset() {
    held_.clear();
    own_.resetState();
    for (auto& [table, decoder] : decoders_) {
        decoder.resetState();
    }
    selectCharacterSet(-1, -1, 0);
}
