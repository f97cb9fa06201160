#pragma once

#include <cstdint>

#include "shaping/command_filter.h"

// Strips the commands of Star Micronics printers out of a terminal's byte stream: Star Line
// mode (TSP100/TSP650/TSP700/TSP800, SP700, the mC-Print and mPOP models in their Star Line
// emulation) and StarPRNT, which extends it (mC-Print, mPOP, TSP100III/IV, SM-L). A command
// and every one of its parameter bytes go, including bit images (ESC K, ESC L, ESC k,
// ESC X), raster mode (ESC * r A ... ESC * r B and its b/k data blocks), StarPRNT raster
// images (ESC GS S), logos (ESC FS q, ESC FS p), barcodes (ESC b ... RS), QR codes
// (ESC GS y) and PDF417 (ESC GS x), and the status and automatic status requests (ENQ,
// EOT, ETB, ESC ACK, ESC RS a, ESC GS ETX); so do the controls for emphasis, underline,
// inversion and size (SO, SI, DC2, DC4 among them), and every other C0 control except CR
// and LF; a TAB becomes a blank. Form feed, VT, the feeds (ESC a, ESC J, ESC I) and the cut (ESC d)
// end a line.
//
// ESC GS t n reports its table in codeTable() (Star's numbering, not Epson's), ESC R n in
// internationalSet(), and ESC @ resets both. Command lengths follow Star's "STAR Line Mode
// Command Specifications" and "StarPRNT Command Specifications".
class StarFilter : public CommandFilter {
public:
    qsizetype feed(QByteArrayView in, QByteArray& out, Event& event) override;
    void reset() override;

private:
    enum class State : std::uint8_t {
        kText,
        kEsc,
        kEscGs,
        kEscRs,
        kEscFs,
        kEscStar,
        kRaster,
        kHeader,
        kSkip,
        kUntil,
    };
    // Commands whose leading parameters must be read before their length is known.
    enum class Header : std::uint8_t {
        kCodeTable,
        kNational,
        kPageLength,
        kBitImage,
        kBitImage24,
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
    enum class After : std::uint8_t { kNothing, kLineEnd, kBlank };

    void startEsc(std::uint8_t c);
    void startEscGs(std::uint8_t c);
    void onHeader();
    void expect(Header header, int bytes);
    void skip(quint64 bytes, After after = After::kNothing);
    void until(std::uint8_t terminator, int limit);
    void finishCommand();
    void lineEnd();

    QByteArray* out_ = nullptr;
    bool changed_ = false;

    State state_ = State::kText;
    Header header_ = Header::kCodeTable;
    After after_ = After::kNothing;
    std::uint8_t params_[6] = {};
    int have_ = 0;
    int need_ = 0;
    quint64 skip_ = 0;
    std::uint8_t terminator_ = 0;
    int untilLeft_ = 0;
    quint32 items_ = 0;  // logos still to come of ESC FS q
    bool raster_ = false;
    bool atLineStart_ = true;
    bool blankPending_ = false;
};
