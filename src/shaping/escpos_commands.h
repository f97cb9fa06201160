#pragma once

#include <QByteArrayView>
#include <cstdint>

#include "shaping/command_walker.h"

// The names EscPosCommands reads by, outside it so that its base can take them.
namespace escpos_names {

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

}  // namespace escpos_names

// The one reading of the ESC/POS command set: it cuts a printer's byte stream into runs of
// text and whole commands, each command with every one of its parameter bytes, including
// length-prefixed blocks (GS ( k, GS ( L, GS 8 L, FS ( ...), bit and raster images and
// NUL-terminated barcode data, so that no byte of an image or a code is ever taken for text
// or for a request. The command filter drops the commands and keeps the text; the status
// responder answers the commands that ask for status.
//
// It keeps its place across read() calls, so a command may be cut across arrivals at any
// byte, and an image of any size is skipped by counting, never buffered.
class EscPosCommands : public CommandWalker<EscPosCommands, escpos_names::Kind, escpos_names::State,
                                            escpos_names::Header> {
    friend CommandWalker;

private:
    // ESC, GS, FS and DLE begin commands; every other control byte is one of its own.
    static constexpr bool startsCommand(std::uint8_t c) {
        return c == 0x1B || c == 0x1D || c == 0x1C || c == 0x10;
    }
    qsizetype readCommand(QByteArrayView in, Item& item);

    void startEsc(std::uint8_t c);
    void startGs(std::uint8_t c);
    void startFs(std::uint8_t c);
    bool startDle(std::uint8_t c);
    void onHeader();
    void finishCommand();

    // Items still to come of ESC & (characters) or FS q (images), each read the same way.
    quint32 items_ = 0;
    Header itemHeader_ = Header::kDefineCharWidth;
    int charHeight_ = 0;
};
