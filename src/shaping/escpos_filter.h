#pragma once

#include "shaping/command_filter.h"
#include "shaping/escpos_commands.h"

// Strips ESC/POS printer commands out of a terminal's byte stream and keeps the text the
// printer would have printed. A command and every one of its parameter bytes go, as
// EscPosCommands reads them; so does every other C0 control except CR and LF, and DEL; a TAB
// becomes a blank. Form feed, cuts and the print-and-feed commands end a line (an LF is written
// when a line is open), and a horizontal move (ESC $, ESC \) becomes one blank between words, so
// that columns set apart by print position do not run together.
//
// The character set commands it reports: ESC t n (codeTable(), Epson's numbering), FS & and
// FS . (multiByteMode()), ESC R n (internationalSet()) and ESC @, which resets them all.
class EscPosFilter : public CommandFilter {
public:
    qsizetype feed(QByteArrayView in, QByteArray& out, Event& event) override;
    void reset() override;

private:
    EscPosCommands commands_;
};
