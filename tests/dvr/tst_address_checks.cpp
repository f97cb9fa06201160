#include <QTest>

#include "dvr/address_checks.h"

class TestAddressChecks : public QObject {
    Q_OBJECT
private slots:
    void digitsOnly_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("zero") << "0" << true;
        QTest::newRow("65535") << "65535" << true;
        QTest::newRow("beyond 65535") << "9999999999999" << true;
        QTest::newRow("leading zeros") << "00080" << true;
        QTest::newRow("trailing blank") << "80 " << false;
        QTest::newRow("leading blank") << " 80" << false;
        QTest::newRow("plus") << "+80" << false;
        QTest::newRow("dot") << "8.0" << false;
        QTest::newRow("arabic-indic digit") << QString::fromUtf8("٨٠") << false;
        QTest::newRow("fullwidth digit") << QString::fromUtf8("８０") << false;
        QTest::newRow("too long to count") << QString(40000, '1') << false;
    }
    void digitsOnly() {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(IsDigitsOnly(text), expected);
    }

    void validIp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");
        QTest::newRow("plain") << "10.0.0.5" << true;
        QTest::newRow("zeros") << "0.0.0.0" << true;
        QTest::newRow("broadcast") << "255.255.255.255" << true;
        QTest::newRow("leading zeros") << "001.002.003.004" << true;
        QTest::newRow("octal-looking") << "010.0.0.5" << true;
        QTest::newRow("blanks around parts") << " 10 .0.0. 5" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("three parts") << "10.0.0" << false;
        QTest::newRow("five parts") << "10.0.0.5.1" << false;
        QTest::newRow("trailing dot") << "10.0.0." << false;
        QTest::newRow("leading dot") << ".1.2.3" << false;
        QTest::newRow("double dot") << "10..0.5" << false;
        QTest::newRow("256") << "256.0.0.1" << false;
        QTest::newRow("negative") << "1.2.3.-4" << false;
        QTest::newRow("letters") << "a.b.c.d" << false;
        QTest::newRow("host name") << "dvr.shop.local" << false;
        QTest::newRow("hex") << "0x0A.0.0.1" << false;
        QTest::newRow("blank part") << "1. .3.4" << false;
        QTest::newRow("huge part") << "99999999999999999999.0.0.1" << false;
    }
    void validIp() {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(IsValidIP(text), expected);
    }
};

QTEST_APPLESS_MAIN(TestAddressChecks)
#include "tst_address_checks.moc"
