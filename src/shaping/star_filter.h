#pragma once

#include "shaping/command_filter.h"
#include "shaping/star_commands.h"

// Strips the commands of Star Micronics printers (Star Line mode and StarPRNT) out of a
// terminal's byte stream. A command and every one of its parameter bytes go, as StarCommands
// reads them, the status and automatic status requests among them; so do the controls for
// emphasis, underline, inversion and size (SO, SI, DC2, DC4 among them), every other C0
// control except CR and LF, and whatever raster mode holds; a TAB becomes a blank. Form
// feed, VT, the feeds (ESC a, ESC J, ESC I), the cut (ESC d) and raster mode end a line, and
// a print position (ESC GS A, ESC GS R) becomes one blank between words.
//
// ESC GS t n reports its table in codeTable() (Star's numbering, not Epson's), ESC R n in
// internationalSet(), and ESC @ resets both.
class StarFilter : public CommandFilter {
public:
    qsizetype feed(QByteArrayView in, QByteArray& out, Event& event) override;
    void reset() override;

private:
    StarCommands commands_;
};
