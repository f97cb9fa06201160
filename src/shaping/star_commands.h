#pragma once

#include <QByteArrayView>
#include <cstdint>

#include "shaping/parameter_reader.h"
#include "shaping/printable.h"

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
class StarCommands {
public:
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
    struct Item {
        Kind kind = Kind::kNone;
        std::uint8_t n = 0;   // the byte, or the command's parameter named above
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
    void reset() { *this = StarCommands(); }

private:
    // ESC begin commands; every other control byte is one of its own.
    static constexpr bool startsCommand(std::uint8_t c) { return c == 0x1B; }
    qsizetype readCommand(QByteArrayView in, Item& item);

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

    void startEsc(std::uint8_t c);
    void startEscGs(std::uint8_t c);
    void onHeader();
    void expect(Header header, int bytes, Kind kind = Kind::kCommand);
    void skip(quint64 bytes);
    void until(std::uint8_t terminator, int limit);
    void finishCommand();
    void done(Kind kind);

    State state_ = State::kText;
    Header header_ = Header::kParameter;
    Kind kind_ = Kind::kCommand;  // what the command under way is, reported when it ends
    std::uint8_t param_ = 0;      // its parameter that the report carries
    bool finished_ = false;       // a command ended in this read()
    ParameterReader parameters_;
    quint32 items_ = 0;  // logos still to come of ESC FS q
    bool raster_ = false;
};
