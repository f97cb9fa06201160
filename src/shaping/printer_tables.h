#pragma once

#include <array>

// The character tables printers use that no conversion library carries, so that text in
// them is decoded rather than dropped. Everything ICU has (the IBM, ISO and Windows code
// pages) is decoded by ICU; see Transcoder.

// The upper half (0x80-0xFF) of a single-byte table; U+FFFD where the table has no
// character that Unicode's Basic Multilingual Plane holds.
using UpperHalf = std::array<char16_t, 128>;

// Epson's page 1, Katakana: block and box-drawing characters in 0x80-0x9F, the half-width
// Katakana of JIS X 0201 in 0xA1-0xDF, more drawing characters and kanji after.
extern const UpperHalf kEpsonKatakana;
// Star's table 0, "Normal", and table 2, Katakana (Normal with JIS X 0201 in 0xA0-0xDF).
extern const UpperHalf kStarNormal;
extern const UpperHalf kStarKatakana;

// The national character sets of ESC R n: what each set prints for the twelve ASCII
// positions it replaces (# $ @ [ \ ] ^ ` { | } ~), or nullptr for a set not known here
// (or for 0, the USA's, which replaces nothing).
const std::array<char16_t, 128>* nationalSet(int n);
