#pragma once

#include <QByteArrayView>
#include <cstdint>

#include "shaping/parameter_reader.h"
#include "shaping/printable.h"

// The one reading of the ESC/POS command set: it cuts a printer's byte stream into runs of
// text and whole commands, each command with every one of its parameter bytes, including
// length-prefixed blocks (GS ( k, GS ( L, GS 8 L, FS ( ...), bit and raster images and
// NUL-terminated barcode data, so that no byte of an image or a code is ever taken for text
// or for a request. The command filter drops the commands and keeps the text; the status
// responder answers the commands that ask for status.
//
// It keeps its place across read() calls, so a command may be cut across arrivals at any
// byte, and an image of any size is skipped by counting, never buffered.
class EscPosCommands {
public:
    enum class Kind : std::uint8_t {
        kNone,            // the bytes read ended inside a command
        kText,            // bytes that print as themselves, in `text`
        kControl,         // a control byte (C0 or DEL) that starts no command, in `n`
        kCommand,         // any other command: style, layout, image, code, ...
        kInitialise,      // ESC @
        kLineEnd,         // the paper moves on: ESC FF, ESC i/m, ESC J/K/d/e, GS V
        kPosition,        // ESC $, ESC \: a horizontal move
        kCodeTable,       // ESC t n
        kNational,        // ESC R n
        kMultiByte,       // FS & (n = 1), FS . (n = 0)
        kRealTimeStatus,  // DLE EOT n
        kPaperStatus,     // GS r n
        kAutoStatus,      // GS a n
        kPrinterId,       // GS I n
    };
    struct Item {
        Kind kind = Kind::kNone;
        std::uint8_t n = 0;   // the control byte, or the command's parameter named above
        QByteArrayView text;  // kText only; a part of the bytes read
    };

    // Reads from the start of `in` to the end of the first text run or command it finishes
    // there (or to the end of `in`) and returns how many bytes it read.
    qsizetype read(QByteArrayView in, Item& item) {
        // Text is most of a receipt: its runs are read here, without a call.
        if (state_ == State::kText && !in.isEmpty()) {
            const auto* const begin = reinterpret_cast<const std::uint8_t*>(in.data());
            const auto* const end = begin + in.size();
            const auto* p = begin;
            while (p < end && kPrintable[*p]) {
                ++p;
            }
            if (p != begin) {
                item.kind = Kind::kText;
                item.text = QByteArrayView(begin, p - begin);
                return p - begin;
            }
            if (const std::uint8_t c = *p; !startsCommand(c)) {
                item.kind = Kind::kControl;
                item.n = c;
                return 1;
            }
        }
        return readCommand(in, item);
    }
    void reset() { *this = EscPosCommands(); }

private:
    // ESC, GS, FS and DLE begin commands; every other control byte is one of its own.
    static constexpr bool startsCommand(std::uint8_t c) {
        return c == 0x1B || c == 0x1D || c == 0x1C || c == 0x10;
    }
    qsizetype readCommand(QByteArrayView in, Item& item);

    enum class State : std::uint8_t { kText, kEsc, kGs, kFs, kDle, kParameters };
    // Commands whose leading parameters must be read before their length is known.
    enum class Header : std::uint8_t {
        kParameter,  // one byte that is the whole command's parameter
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

    void startEsc(std::uint8_t c);
    void startGs(std::uint8_t c);
    void startFs(std::uint8_t c);
    bool startDle(std::uint8_t c);
    void onHeader();
    void expect(Header header, int bytes, Kind kind = Kind::kCommand);
    void skip(quint64 bytes);
    void until(std::uint8_t terminator, int count, int limit);
    void finishCommand();
    void done(Kind kind);

    State state_ = State::kText;
    Header header_ = Header::kParameter;
    Kind kind_ = Kind::kCommand;  // what the command under way is, reported when it ends
    std::uint8_t param_ = 0;      // its parameter that the report carries
    bool finished_ = false;       // a command ended in this read()
    ParameterReader parameters_;
    // Items still to come of ESC & (characters) or FS q (images), each read the same way.
    quint32 items_ = 0;
    Header itemHeader_ = Header::kDefineCharWidth;
    int charHeight_ = 0;
};
