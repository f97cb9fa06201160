#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sys.h"

namespace bench {

// One till and its receipt printer, as the bench plays them, on one way of carrying the
// till's bytes: the bridge with RECEIPT_PRINTER set (which also copies to its DVR), a socat
// relay, or the till connected straight to the printer. The printer is a listener of the
// bench's own that answers nothing but DLE EOT 1.
struct PrinterPath {
    explicit PrinterPath(std::string pathName) : name(std::move(pathName)) {}

    std::string name;
    uint16_t tillPort = 0;  // where the till connects; the printer's port for a direct link
    uint16_t printerPort = 0;
    uint16_t dvrPort = 0;  // the bridge's DVR; none for socat and direct
    Fd printerListener;
    Fd printer;  // the connection the relay opened to the printer
    Fd till;
    Fd dvrListener;
    Fd dvr;
    std::vector<pid_t> processes;  // the ones started for it
    uint32_t sequence = 0;

    bool copiesToDvr() const { return dvrPort != 0; }
};

struct PrinterPaths {
    PrinterPath bridge{"poskavelin"};
    PrinterPath socat{"socat"};
    PrinterPath direct{"direct"};

    std::vector<PrinterPath*> all() { return {&bridge, &socat, &direct}; }
};

// Starts a bridge from `folder` (a copy of `program`, its settings beside it, its output in
// `folder`/log) with one row whose till, printer and DVR are the bench's, and a socat relay
// to a printer of its own; then connects the three tills and probes every path.
void startPrinterPaths(PrinterPaths& paths, const std::string& program, const std::string& socat,
                       const std::string& folder, const std::vector<std::string>& bridgeEnv,
                       const std::vector<std::string>& socatEnv);
void stopPrinterPaths(PrinterPaths& paths);

// One receipt line and one status request, each checked byte for byte at the printer, at
// the DVR and back at the till, and nothing more anywhere.
void probePrinterPath(PrinterPath& path);

// Closed loop: a 40-byte receipt line, timed until the printer has all of it, then DLE EOT 1,
// timed until the printer's one-byte answer is back at the till; then the next line. Each
// step also waits for the DVR's copy, so every line is one arrival everywhere. Microseconds.
struct PrinterSamples {
    std::vector<double> oneWay;
    std::vector<double> roundTrip;
};
void measurePrinterPath(PrinterPath& path, size_t lines, double maxSeconds, PrinterSamples& out);

}  // namespace bench
