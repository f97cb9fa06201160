#pragma once

// The printer services of the system being built for, as the program's one printer.
#ifdef _WIN32
#include "platform/windows/qt_printer.h"
using SystemPrinterServices = QtPrinterServices;
#else
#include "platform/linux/cups_printer.h"
using SystemPrinterServices = CupsPrinterServices;
#endif
