#pragma once

#include <cstdint>

#include "shaping/command_filter.h"

// Strips ESC/POS printer commands out of a terminal's byte stream and keeps the text the
// printer would have printed. A command and every one of its parameter bytes go,
// including length-prefixed blocks (GS ( k, GS ( L, GS 8 L, FS ( ...), bit and raster
// images and NUL-terminated barcode data; so does every other C0 control except CR and
// LF, and DEL; a TAB becomes a blank. Form feed, cuts and the print-and-feed commands end a line
// (an LF is written when a line is open), and a horizontal move (ESC $, ESC \) becomes one blank
// between words, so that columns set apart by print position do not run together.
//
// The filter is a state machine that keeps its place across feed() calls, so a command
// may be split across arrivals at any byte, and an image of any size is skipped by
// counting, never buffered.
//
// The character set commands it reports: ESC t n (codeTable(), Epson's numbering), FS & and
// FS . (multiByteMode()), ESC R n (internationalSet()) and ESC @, which resets them all.
class EscPosFilter : public CommandFilter {
public:
    qsizetype feed(QByteArrayView in, QByteArray& out, Event& event) override;
    void reset() override;

private:
    enum class State : std::uint8_t { kText, kEsc, kGs, kFs, kDle, kHeader, kSkip, kUntil };
    // Commands whose leading parameters must be read before their length is known.
    enum class Header : std::uint8_t {
        kCodeTable,
        kNational,
        kBitImage,
        kDefineChars,
        kDefineCharWidth,
        kLengthPrefixed,
        kTwoDimensionalCode,
        kGraphics,
        kDownloadImage,
        kRasterImage,
        kCut,
        kBarcode,
        kBarcodeLength,
        kCounter,
        kNvImages,
        kNvImage,
        kNvMemory,
        kStatus,
        kRealTime,
    };
    enum class After : std::uint8_t { kNothing, kLineEnd, kBlank };

    void startEsc(std::uint8_t c);
    void startGs(std::uint8_t c);
    void startFs(std::uint8_t c);
    bool startDle(std::uint8_t c);
    void onHeader();
    void expect(Header header, int bytes);
    void skip(quint64 bytes, After after = After::kNothing);
    void until(std::uint8_t terminator, int count, int limit);
    void finishCommand();
    void lineEnd();

    QByteArray* out_ = nullptr;  // the text of the feed() under way
    bool changed_ = false;       // the character set changed in this step

    State state_ = State::kText;
    Header header_ = Header::kCodeTable;
    After after_ = After::kNothing;
    std::uint8_t params_[8] = {};
    int have_ = 0;
    int need_ = 0;
    quint64 skip_ = 0;
    std::uint8_t terminator_ = 0;
    int terminators_ = 0;
    int untilLeft_ = 0;
    // Items still to come of ESC & (characters) or FS q (images), each read the same way.
    quint32 items_ = 0;
    Header itemHeader_ = Header::kDefineCharWidth;
    int charHeight_ = 0;
    bool atLineStart_ = true;
    bool blankPending_ = false;
};
