#pragma once

#include <QByteArrayView>
#include <cstdint>

#include "shaping/command_walker.h"

// The names StarCommands reads by, outside it so that its base can take them.
namespace star_names {

enum class Kind : std::uint8_t {
    kNone,               // the bytes read ended inside a command
    kText,               // bytes that print as themselves, in `text`
    kControl,            // a control byte (C0 or DEL) that starts no command, in `n`
    kRasterByte,         // a byte in raster mode that is no raster command, in `n`
    kCommand,            // any other command: style, layout, image, code, ...
    kInitialise,         // ESC @
    kLineEnd,            // the paper moves on: ESC a/J/I/d, and ESC * r A
    kPosition,           // ESC GS A, ESC GS R: a horizontal move
    kCodeTable,          // ESC GS t n
    kNational,           // ESC R n
    kAutoStatus,         // ESC ACK SOH
    kAutoStatusSetting,  // ESC RS a n
    kEtbClear,           // ESC RS E n
};

enum class State : std::uint8_t {
    kText,
    kEsc,
    kEscGs,
    kEscRs,
    kEscAck,
    kEscFs,
    kEscStar,
    kRaster,
    kParameters,
};
// Commands whose leading parameters must be read before their length is known.
enum class Header : std::uint8_t {
    kParameter,  // one byte that is the whole command's parameter
    kPageLength,
    kBitImage,
    kBitImage24,
    kFineBitImage,
    kDownloadChar,
    kBarcode,
    kLogos,
    kLogo,
    kQrCode,
    kQrData,
    kQrAutoData,
    kPdf417,
    kPdf417Setting,
    kLengthData,
    kRasterImage,
    kRasterCommand,
    kRasterMargin,
    kRasterData,
};

}  // namespace star_names

// The one reading of the command set of Star Micronics printers: Star Line mode
// (TSP100/TSP650/TSP700/TSP800, SP700, the mC-Print and mPOP models in their Star Line
// emulation) and StarPRNT, which extends it (mC-Print, mPOP, TSP100III/IV, SM-L). It cuts a
// printer's byte stream into runs of text and whole commands, each with every one of its
// parameter bytes: bit images (ESC K, ESC L, ESC k, ESC X), raster mode (ESC * r A ...
// ESC * r B and its b/k data blocks), StarPRNT raster images (ESC GS S), logos (ESC FS q,
// ESC FS p), barcodes (ESC b ... RS), QR codes (ESC GS y) and PDF417 (ESC GS x), so that no
// byte of an image or a code is ever taken for text or for a request. The command filter
// drops the commands and keeps the text; the status responder answers the requests.
// Command lengths follow Star's "STAR Line Mode Command Specifications" and "StarPRNT
// Command Specifications".
//
// It keeps its place across read() calls, so a command may be cut across arrivals at any
// byte, and an image of any size is skipped by counting, never buffered.
class StarCommands
    : public CommandWalker<StarCommands, star_names::Kind, star_names::State, star_names::Header> {
    friend CommandWalker;

private:
    // ESC begin commands; every other control byte is one of its own.
    static constexpr bool startsCommand(std::uint8_t c) { return c == 0x1B; }
    qsizetype readCommand(QByteArrayView in, Item& item);

    void startEsc(std::uint8_t c);
    void startEscGs(std::uint8_t c);
    void onHeader();
    void finishCommand();

    quint32 items_ = 0;  // logos still to come of ESC FS q
    bool raster_ = false;
};
