#pragma once

#include <QString>

// True when the text is non-empty and holds only the ASCII digits 0-9. No range test.
bool IsDigitsOnly(const QString& text);

// True when the text is four "."-separated decimal numbers 0-255, each allowed blanks
// around it and leading zeros ('010' is ten). No host names.
bool IsValidIP(const QString& text);
