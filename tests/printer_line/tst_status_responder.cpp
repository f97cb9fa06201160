#include <QTest>

#include "printer_line/status_responder.h"

namespace {

// Text with bytes in hex between braces: "a{10 04 01}b" is a, DLE, EOT, 1, b. Within the
// braces "*n xx" is byte xx n times (n in decimal).
QByteArray bytes(const QByteArray& text) {
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '{') {
            out += text[i];
            continue;
        }
        const qsizetype close = text.indexOf('}', i);
        const QByteArrayList items = text.mid(i + 1, close - i - 1).split(' ');
        for (qsizetype k = 0; k < items.size(); ++k) {
            if (items[k].startsWith('*')) {
                out += QByteArray(items[k].mid(1).toInt(), char(items[k + 1].toUInt(nullptr, 16)));
                ++k;
            } else {
                out += static_cast<char>(items[k].toUInt(nullptr, 16));
            }
        }
        i = close;
    }
    return out;
}

QByteArray star(int etbFlag, int counterByte) {
    return QByteArray("\x23\x06", 2) + char(etbFlag) + QByteArray(4, '\0') + char(counterByte) +
           '\0';
}

}  // namespace

class TestStatusResponder : public QObject {
    Q_OBJECT

private slots:
    // Each request with its answer, and commands whose data holds request bytes without
    // being one; every stream is also fed cut at each byte and one byte at a time, as TCP
    // may deliver it.
    void answers_data();
    void answers();
    // A new session starts from a printer just switched on, even when the last one ended
    // inside an image.
    void resetForgetsTheCommandUnderWay();
};

void TestStatusResponder::answers_data() {
    QTest::addColumn<StatusResponder::Kind>("kind");
    QTest::addColumn<QByteArray>("till");
    QTest::addColumn<QByteArray>("reply");
    const auto escpos = StatusResponder::Kind::kEscPos;
    const auto starKind = StatusResponder::Kind::kStar;

    QTest::newRow("DLE EOT 1..4") << escpos << bytes("{10 04 01 10 04 02 10 04 03 10 04 04}")
                                  << bytes("{12 12 12 12}");
    QTest::newRow("DLE EOT 5 (slip) unanswered") << escpos << bytes("{10 04 05}") << QByteArray();
    QTest::newRow("DLE EOT 7 a: its byte is no request")
        << escpos << bytes("{10 04 07 04}x{10 04 01}") << bytes("{12}");
    QTest::newRow("inside receipt text")
        << escpos << bytes("Total 5.00{0a 10 04 01}Thank you{0a 1d 56 41 03}") << bytes("{12}");
    QTest::newRow("after a stray ESC") << escpos << bytes("{1b 10 04 02}") << bytes("{12}");
    QTest::newRow("GS r 1, 2, 49, 50")
        << escpos << bytes("{1d 72 01 1d 72 02 1d 72 31 1d 72 32}") << bytes("{00 00 00 00}");
    QTest::newRow("GS r 4 (ink) unanswered") << escpos << bytes("{1d 72 04}") << QByteArray();
    QTest::newRow("GS a enabling, twice")
        << escpos << bytes("{1d 61 ff}ab{1d 61 02}") << bytes("{10 00 00 00 10 00 00 00}");
    QTest::newRow("GS a 0 disables, no block") << escpos << bytes("{1d 61 00}") << QByteArray();
    QTest::newRow("GS I 1, 2, 3, 49")
        << escpos << bytes("{1d 49 01 1d 49 02 1d 49 03 1d 49 31}") << bytes("{20 02 01 20}");
    QTest::newRow("GS I 65..69") << escpos
                                 << bytes("{1d 49 41 1d 49 42 1d 49 43 1d 49 44 1d 49 45}")
                                 << bytes(
                                        "{5f}1.00{00 5f}EPSON{00 5f}TM-T88V{00 5f}0000000000{00 "
                                        "5f 00}");
    QTest::newRow("GS v 0 raster data holding DLE EOT")
        << escpos << bytes("{1d 76 30 00 03 00 03 00 10 04 01 10 04 02 10 04 04}") << QByteArray();
    QTest::newRow("GS v 0, then a request")
        << escpos << bytes("{1d 76 30 00 02 00 01 00 10 04 10 04 04}") << bytes("{12}");
    QTest::newRow("GS ( L graphics data")
        << escpos << bytes("{1d 28 4c 06 00 30 70 10 04 01 00 1d 72 01}") << bytes("{00}");
    QTest::newRow("GS 8 L graphics data")
        << escpos << bytes("{1d 38 4c 04 00 00 00 30 70 10 04}{1d 49 01}") << bytes("{20}");
    QTest::newRow("GS ( k QR data")
        << escpos << bytes("{1d 28 6b 06 00 31 50 30 10 04 02}") << QByteArray();
    QTest::newRow("ESC * bit image, 24-dot")
        << escpos << bytes("{1b 2a 21 02 00 10 04 01 1d 61 01}{10 04 01}") << bytes("{12}");
    QTest::newRow("GS k barcode with length")
        << escpos << bytes("{1d 6b 49 03 10 04 01}") << QByteArray();
    QTest::newRow("GS k barcode to NUL")
        << escpos << bytes("{1d 6b 04 10 04 01 00 10 04 03}") << bytes("{12}");
    QTest::newRow("ESC 3 with n = DLE") << escpos << bytes("{1b 33 10 04 01}") << QByteArray();
    QTest::newRow("DLE DC4 drawer pulse parameters")
        << escpos << bytes("{10 14 01 10 04 01}") << QByteArray();
    QTest::newRow("large raster, then a request")
        << escpos << bytes("{1d 76 30 00 00 01 00 01 *65536 10}{10 04 01}") << bytes("{12}");

    QTest::newRow("Star ENQ, EOT") << starKind << bytes("{05 04}") << bytes("{20 10}");
    QTest::newRow("Star ESC ACK SOH") << starKind << bytes("{1b 06 01}") << star(0, 0);
    QTest::newRow("Star ESC ENQ") << starKind << bytes("{1b 05}") << bytes("{20}");
    QTest::newRow("Star ESC RS a 1, then ETB twice")
        << starKind << bytes("{1b 1e 61 01}text{17 17}")
        << star(0, 0) + star(0x02, 0x02) + star(0x02, 0x04);
    QTest::newRow("Star ESC RS a 0: ETB counts silently")
        << starKind << bytes("{1b 1e 61 00 17 1b 06 01}") << star(0, 0x02);
    QTest::newRow("Star ETB counter bits 3 and 4")
        << starKind << bytes("{*24 17}{1b 06 01}") << star(0, 0x60);
    QTest::newRow("Star ETB counter wraps at 32")
        << starKind << bytes("{*33 17}{1b 06 01}") << star(0, 0x02);
    QTest::newRow("Star ESC RS E and CAN clear the counter")
        << starKind << bytes("{17 17 1b 1e 45 00 1b 06 01 17 18 1b 06 01}")
        << star(0, 0) + star(0, 0);
    QTest::newRow("Star ESC a 5 (feed) is no ENQ")
        << starKind << bytes("{1b 61 05 1b 64 04}") << QByteArray();
    QTest::newRow("Star ESC GS S raster data")
        << starKind << bytes("{1b 1d 53 01 02 00 02 00 00 05 04 17 05}{04}") << bytes("{10}");
    QTest::newRow("Star ESC K, ESC L, ESC X, ESC k data")
        << starKind
        << bytes("{1b 4b 02 00 05 04 1b 4c 01 00 05 1b 58 01 00 04 05 17 1b 6b 01 00 *24 05}{05}")
        << bytes("{20}");
    QTest::newRow("Star raster mode lines")
        << starKind << bytes("{1b 2a 72 41 62 03 00 05 04 05 6b 01 00 04 1b 2a 72 42 05}")
        << bytes("{20}");
    QTest::newRow("Star raster settings end with NUL")
        << starKind << bytes("{1b 2a 72 50 30 00 05}") << bytes("{20}");
    QTest::newRow("Star barcode to RS")
        << starKind << bytes("{1b 62 06 02 02 50 05 04 17 1e 04}") << bytes("{10}");
    QTest::newRow("Star QR and PDF417 data")
        << starKind
        << bytes(
               "{1b 1d 79 44 31 00 02 00 05 04 1b 1d 78 44 01 00 05 1b 1d 78 53 30 "
               "05 04 05 05}")
        << bytes("{20}");
    QTest::newRow("Star downloaded character and ESC FF parameter")
        << starKind << bytes("{1b 26 01 41 01 *48 05 1b 0c 04}{04}") << bytes("{10}");
    QTest::newRow("Star logo data")
        << starKind << bytes("{1b 1c 71 01 01 00 01 00 *8 05}{04}") << bytes("{10}");
}

void TestStatusResponder::answers() {
    QFETCH(StatusResponder::Kind, kind);
    QFETCH(QByteArray, till);
    QFETCH(QByteArray, reply);

    StatusResponder whole(kind);
    QCOMPARE(whole.feed(till).toHex(' '), reply.toHex(' '));

    StatusResponder byteByByte(kind);
    QByteArray answered;
    for (qsizetype i = 0; i < till.size(); ++i) {
        answered += byteByByte.feed(QByteArrayView(till).sliced(i, 1));
    }
    QCOMPARE(answered.toHex(' '), reply.toHex(' '));

    // Cut once at every place; long streams only near their start and end, where the
    // commands are.
    for (qsizetype cut = 1; cut < till.size(); ++cut) {
        if (till.size() > 256 && cut > 64 && cut < till.size() - 64) {
            continue;
        }
        StatusResponder split(kind);
        const QByteArrayView view(till);
        QByteArray twice = split.feed(view.first(cut));
        twice += split.feed(view.sliced(cut));
        QVERIFY2(twice == reply, qPrintable(QStringLiteral("cut at %1: %2")
                                                .arg(cut)
                                                .arg(QString::fromLatin1(twice.toHex(' ')))));
    }
}

void TestStatusResponder::resetForgetsTheCommandUnderWay() {
    StatusResponder escpos(StatusResponder::Kind::kEscPos);
    QVERIFY(escpos.feed(bytes("{1d 76 30 00 ff ff ff ff 10 04 01}")).isEmpty());
    escpos.reset();
    QCOMPARE(escpos.feed(bytes("{10 04 01}")), bytes("{12}"));

    StatusResponder starResponder(StatusResponder::Kind::kStar);
    QVERIFY(!starResponder.feed(bytes("{1b 1e 61 01 17 17 1b 2a 72 41 62 ff ff 05}")).isEmpty());
    starResponder.reset();
    // Automatic status off and the counter at 0 again; the raster line is forgotten.
    QCOMPARE(starResponder.feed(bytes("{17 05}")), bytes("{20}"));
}

QTEST_GUILESS_MAIN(TestStatusResponder)
#include "tst_status_responder.moc"
