#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

// Finds the status requests of Star Line Mode (and StarPRNT, which shares them) in a till's
// byte stream and appends what a healthy, online printer with paper and a closed cover
// answers. Commands with data (bit images, raster graphics, logos, barcodes, 2D codes) are
// walked over by their lengths, so that their bytes are never taken for a request. Requests
// answered (Star Micronics "STAR Line Mode Command Specifications", section 3 "Status" and
// Appendix "Status Specifications"):
//
//   ENQ                      20   ENQ status: receive buffer empty, no error, paper present
//   EOT                      10   EOT status: bit 4 fixed on, paper present, no near end
//   ESC ACK SOH              23 06 00 00 00 00 00 <etb> 00, the automatic status: header 1
//                                 says nine bytes, header 2 version 3; online, cover closed,
//                                 no error, paper present; <etb> the ETB counter
//   ESC RS a n, n = 1, 49    the automatic status once, and from then on after each ETB
//   ETB                      with automatic status on, the automatic status with "ETB
//                                 executed" (bit 1 of the third byte) and the counter one up
//
// The ETB counter starts at 0 and is cleared by ESC RS E n and CAN, as on the printer.
class StarRequests {
public:
    void feed(QByteArrayView in, QByteArray& reply);
    void reset() { *this = StarRequests(); }

private:
    enum class State : std::uint8_t {
        kIdle,
        kEsc,
        kEscGs,
        kEscRs,
        kEscAck,
        kEscFs,
        kEscStar,
        kRasterCommand,
        kCodeCommand,
        kCodeSetting,
        kHeader,
        kSkip,
        kUntil,
    };
    enum class Header : std::uint8_t {
        kAutoStatusSetting,
        kEtbClear,
        kColumns,         // ESC K, ESC L: n1 n2, then n1 + 256 n2 bytes
        kColumnsTimes3,   // ESC X
        kColumnsTimes24,  // ESC k
        kPageCorrection,  // ESC C NUL n or ESC C n
        kRasterImage,     // ESC GS S m xL xH yL yH n
        kRasterLine,      // b or k in raster mode: n1 n2, then n1 + 256 n2 bytes
        kQrData,          // ESC GS y D 1 m nL nH
        kPdfData,         // ESC GS x D nL nH
        kLogos,
        kLogo,
    };

    void startEsc(std::uint8_t c);
    void startEscGs(std::uint8_t c);
    void onHeader(QByteArray& reply);
    void expect(Header header, int bytes);
    void skip(quint64 bytes);
    void until(std::uint8_t terminator, int limit);
    void finishCommand();
    void appendAutoStatus(QByteArray& reply, bool etbExecuted) const;

    State state_ = State::kIdle;
    Header header_ = Header::kAutoStatusSetting;
    std::uint8_t params_[8] = {};
    int have_ = 0;
    int need_ = 0;
    quint64 skip_ = 0;
    std::uint8_t terminator_ = 0;
    int untilLeft_ = 0;
    std::uint8_t code_ = 0;  // 'x' (PDF417) or 'y' (QR) of ESC GS x / ESC GS y
    quint32 logos_ = 0;
    bool raster_ = false;
    bool autoStatus_ = false;
    int etbCounter_ = 0;
};
