// Throughput of a channel's Shaper on receipt-like input, on one core: shaping off (one
// copy per arrival, what the forwarder does without it) as the reference, each option
// alone, and all of them. Prints MB/s of terminal input for each.
//
//   build/bench/poskavelin_shaper_bench [seconds per case, default 0.5]
//
// The input is 40-column receipts in PC858 with CR LF line ends, ESC/POS styling on some
// lines, a card number, a QR code and a cut, fed in arrivals of one TCP segment (1460
// bytes), so lines and commands are split at arbitrary bytes.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "shaping/shaper.h"

namespace {

constexpr qsizetype kSegment = 1460;
constexpr qsizetype kInputBytes = 8 * 1024 * 1024;

QByteArray line(const QByteArray& text) {
    return text.leftJustified(40, ' ') + "\r\n";
}

QByteArray receipt(int number) {
    QByteArray r =
        "\x1b@\x1bt\x13\x1b"
        "a\x01\x1d!\x11";
    r += line("Caf\x82 Z\x81rich");
    r += QByteArray(
        "\x1d!\x00\x1b"
        "a\x00",
        6);
    r += line("Bahnhofstrasse 1, 8001 Z\x81rich");
    for (int i = 0; i < 24; ++i) {
        const bool bold = i % 6 == 0;
        if (bold) {
            r += QByteArray(
                "\x1b"
                "E\x01",
                3);
        }
        r += line(QByteArray("K\x84se Emmentaler ") + QByteArray::number(i).rightJustified(2, '0') +
                  "       2 x \xd5" + QByteArray::number(3 + i % 7) + ",50");
        if (bold) {
            r += QByteArray(
                "\x1b"
                "E\x00",
                3);
        }
    }
    r += line("VISA 4111 1111 1111 1111");
    r += line("Beleg " + QByteArray::number(20240315142233LL + number));
    r += QByteArray(
        "\x1d(k\x04\x00"
        "1A2\x00\x1d(k\x15\x00"
        "1P0https://ex.am/ple",
        31);
    r += QByteArray(
        "\x1d(k\x03\x00"
        "1Q0",
        8);
    r += line(
        "TOTAL \xd5"
        "99,50");
    r += QByteArray("\x1dVB\x00", 4);
    return r;
}

QByteArray input() {
    QByteArray all;
    for (int n = 0; all.size() < kInputBytes; ++n) {
        all += receipt(n);
    }
    return all;
}

std::optional<ShapingOptions> options(const QByteArray& keys) {
    QList<QByteArray> pairs = keys.split(' ');
    return ShapingOptions::parse(
        [&](const char* key) -> std::optional<QByteArray> {
            for (const QByteArray& pair : pairs) {
                if (pair.startsWith(QByteArray(key) + '=')) {
                    return pair.mid(pair.indexOf('=') + 1);
                }
            }
            return std::nullopt;
        },
        nullptr, nullptr);
}

// MB/s of input, fed until `seconds` have passed.
double measure(const QByteArray& bytes, const QByteArray& keys, double seconds, qsizetype& sink) {
    std::optional<Shaper> shaper;
    if (!keys.isEmpty()) {
        shaper.emplace(*options(keys));
    }
    QList<QByteArray> pieces;
    QElapsedTimer timer;
    timer.start();
    qint64 fed = 0;
    while (timer.nsecsElapsed() < static_cast<qint64>(seconds * 1e9)) {
        for (qsizetype at = 0; at < bytes.size(); at += kSegment) {
            const QByteArrayView arrival =
                QByteArrayView(bytes).sliced(at, std::min(kSegment, bytes.size() - at));
            if (shaper) {
                shaper->feed(arrival, pieces);
            } else {
                pieces.append(arrival.toByteArray());
            }
            for (const QByteArray& piece : pieces) {
                sink += piece.size();
            }
            pieces.clear();
        }
        fed += bytes.size();
    }
    return static_cast<double>(fed) / 1e6 / (static_cast<double>(timer.nsecsElapsed()) / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    if (seconds <= 0 || seconds > 60) {
        std::fprintf(stderr, "usage: %s [seconds per case, 0 < s <= 60]\n", argv[0]);
        return 2;
    }
    const QByteArray bytes = input();
    const char* const all = "LINES=1 FILTER=escpos CODEPAGE=cp858 DVR_CODEPAGE=utf-8 MASK=pan";
    const struct {
        const char* name;
        QByteArray keys;
    } cases[] = {
        {"off (one copy per arrival)", ""},
        {"LINES=1", "LINES=1"},
        {"FILTER=escpos", "FILTER=escpos"},
        {"CODEPAGE=cp858 DVR_CODEPAGE=utf-8", "CODEPAGE=cp858 DVR_CODEPAGE=utf-8"},
        {"MASK=pan", "MASK=pan"},
        {"all on", all},
    };
    qsizetype sink = 0;
    std::printf("shaper throughput, %.1f MB of receipts in %lld-byte arrivals, %.1f s a case\n",
                static_cast<double>(bytes.size()) / 1e6, static_cast<long long>(kSegment), seconds);
    double allOn = 0;
    for (const auto& c : cases) {
        const double rate = measure(bytes, c.keys, seconds, sink);
        std::printf("  %-36s %8.1f MB/s\n", c.name, rate);
        allOn = rate;
    }
    std::printf("all on %s the 50 MB/s a channel needs to keep up%s\n",
                allOn >= 50 ? "meets" : "MISSES", sink == 0 ? " (no output?)" : "");
    return allOn >= 50 ? 0 : 1;
}
