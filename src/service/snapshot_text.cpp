#include "service/snapshot_text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <array>

namespace {

QString orDash(const QString& text) {
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString withPeer(const QString& state, const QString& peer) {
    return peer.isEmpty() ? state : state + QLatin1Char(' ') + peer;
}

// An error reason is one cell of one line, whatever a socket layer put into it.
QString oneLine(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control) {
            c = QLatin1Char(' ');
        }
    }
    return text;
}

}  // namespace

QString pieceAge(qint64 ms) {
    if (ms < 0) {
        return QStringLiteral("-");
    }
    const qint64 seconds = ms / 1000;
    if (seconds < 60) {
        return QStringLiteral("%1 s").arg(seconds);
    }
    if (seconds < 3600) {
        return QStringLiteral("%1 min").arg(seconds / 60);
    }
    if (seconds < 86400) {
        return QStringLiteral("%1 h").arg(seconds / 3600);
    }
    return QStringLiteral("%1 d").arg(seconds / 86400);
}

QString statusTable(const BridgeSnapshot& snapshot) {
    constexpr int kColumns = 10;
    // Numbers are right-aligned so that their digits line up; the last column is not padded.
    constexpr std::array<bool, kColumns> kRight{true, false, false, false, true,
                                                true, true,  true,  true,  false};
    QList<std::array<QString, kColumns>> lines;
    lines.append({"ROW", "TERMINAL", "DVR", "PRINTER", "PIECES", "BYTES", "LAST", "DVR FAILS",
                  "PRINT FAILS", "LAST ERROR"});
    for (const ChannelSnapshot& c : snapshot.channels) {
        lines.append({QString::number(c.row), withPeer(c.terminal, c.terminalPeer),
                      withPeer(c.dvr, c.dvrAddress), orDash(withPeer(c.printer, c.printerAddress)),
                      QString::number(c.pieces), QString::number(c.bytes),
                      pieceAge(c.lastPieceAgeMs), QString::number(c.dvrFailures),
                      QString::number(c.printFailures), orDash(oneLine(c.lastError))});
    }
    std::array<qsizetype, kColumns> width{};
    for (const auto& cells : lines) {
        for (int i = 0; i < kColumns; ++i) {
            width[i] = std::max(width[i], cells[i].size());
        }
    }
    QString table;
    for (const auto& cells : lines) {
        QStringList padded;
        for (int i = 0; i < kColumns; ++i) {
            padded.append(kRight[i]          ? cells[i].rightJustified(width[i])
                          : i < kColumns - 1 ? cells[i].leftJustified(width[i])
                                             : cells[i]);
        }
        table += padded.join(QLatin1String("  ")) + QLatin1Char('\n');
    }
    return table;
}

QJsonDocument statusJson(const BridgeSnapshot& snapshot) {
    QJsonArray channels;
    for (const ChannelSnapshot& c : snapshot.channels) {
        channels.append(QJsonObject{
            {"row", c.row},
            {"terminal", c.terminal},
            {"terminalPeer", c.terminalPeer},
            {"dvr", c.dvr},
            {"dvrAddress", c.dvrAddress},
            {"pieces", c.pieces},
            {"bytes", c.bytes},
            {"dvrFailures", c.dvrFailures},
            {"printFailures", c.printFailures},
            {"lastPieceAgeMs", c.lastPieceAgeMs < 0 ? QJsonValue() : QJsonValue(c.lastPieceAgeMs)},
            {"lastError", c.lastError},
            {"printer", c.printer},
            {"printerAddress", c.printerAddress},
            {"bytesToPrinter", c.bytesToPrinter},
            {"bytesFromPrinter", c.bytesFromPrinter},
            {"dvrCopiesDropped", c.dvrCopiesDropped},
            {"shapingFilteredBytes", c.shapingFilteredBytes},
            {"shapingReplaced", c.shapingReplaced},
        });
    }
    return QJsonDocument(QJsonObject{
        {"status", snapshot.status},
        {"startTime", double(snapshot.startTimeUnixMs) / 1000.0},
        {"channels", channels},
    });
}

QByteArray prometheusText(const BridgeSnapshot& snapshot) {
    struct Family {
        const char* name;
        const char* type;
        const char* help;
        qint64 (*value)(const ChannelSnapshot&);
    };
    static constexpr Family kFamilies[] = {
        {"poskavelin_terminal_connected", "gauge",
         "Whether a POS terminal is connected (1) or not.",
         [](const ChannelSnapshot& c) { return qint64(c.terminal == QLatin1String("connected")); }},
        {"poskavelin_dvr_link_up", "gauge", "Whether the link to the DVR is up (1) or not.",
         [](const ChannelSnapshot& c) { return qint64(c.dvr == QLatin1String("connected")); }},
        {"poskavelin_pieces_total", "counter", "Pieces of text forwarded to the DVR.",
         [](const ChannelSnapshot& c) { return c.pieces; }},
        {"poskavelin_bytes_total", "counter",
         "Bytes forwarded to the DVR, as the terminal sent them.",
         [](const ChannelSnapshot& c) { return c.bytes; }},
        {"poskavelin_dvr_reconnect_attempts_total", "counter",
         "Attempts to link to the DVR that failed.",
         [](const ChannelSnapshot& c) { return c.dvrFailures; }},
        {"poskavelin_print_failures_total", "counter", "Pieces whose printing failed.",
         [](const ChannelSnapshot& c) { return c.printFailures; }},
        {"poskavelin_printer_link_up", "gauge",
         "Whether the connection to the till's own printer is up (1) or not.",
         [](const ChannelSnapshot& c) { return qint64(c.printer == QLatin1String("connected")); }},
        {"poskavelin_printer_sent_bytes_total", "counter",
         "Bytes relayed from the terminal to its printer.",
         [](const ChannelSnapshot& c) { return c.bytesToPrinter; }},
        {"poskavelin_printer_received_bytes_total", "counter",
         "Bytes relayed from the printer back to its terminal.",
         [](const ChannelSnapshot& c) { return c.bytesFromPrinter; }},
        {"poskavelin_dvr_copies_dropped_total", "counter",
         "Pieces not sent to the DVR while its link was down or full and the printer path went "
         "on.",
         [](const ChannelSnapshot& c) { return c.dvrCopiesDropped; }},
        {"poskavelin_shaping_filtered_bytes_total", "counter",
         "Bytes of printer commands the shaping removed.",
         [](const ChannelSnapshot& c) { return c.shapingFilteredBytes; }},
        {"poskavelin_shaping_replaced_total", "counter",
         "Characters the shaping replaced with '?' as the code page could not show them.",
         [](const ChannelSnapshot& c) { return c.shapingReplaced; }},
    };
    QByteArray text;
    for (const Family& family : kFamilies) {
        text += QByteArray("# HELP ") + family.name + ' ' + family.help + '\n';
        text += QByteArray("# TYPE ") + family.name + ' ' + family.type + '\n';
        for (const ChannelSnapshot& c : snapshot.channels) {
            text += QByteArray(family.name) + "{channel=\"" + QByteArray::number(c.row) + "\"} " +
                    QByteArray::number(family.value(c)) + '\n';
        }
    }
    text +=
        "# HELP process_start_time_seconds Start time of the process since unix epoch in "
        "seconds.\n"
        "# TYPE process_start_time_seconds gauge\n"
        "process_start_time_seconds " +
        QByteArray::number(double(snapshot.startTimeUnixMs) / 1000.0, 'f', 3) + '\n';
    return text;
}
