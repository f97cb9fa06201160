#include <QtGlobal>
#ifdef Q_OS_LINUX
#include <sys/mount.h>
#include <unistd.h>

#include "file_size_limit.h"
#endif

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

#include "harness.h"
#include "settings/ini.h"

namespace {

QByteArray Slurp(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "<unreadable>";
    }
    return file.readAll();
}

void Spit(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

struct Setting {
    QByteArray section, key, value;
};

// The saving order: "Setup" first, then the four keys of every channel.
QList<Setting> AllSettings(const QByteArray& pos7 = "9007") {
    QList<Setting> all = {{"Setup", "Hide", "0"},
                          {"Setup", "EnableSchedule", "0"},
                          {"Setup", "StartHour", "6"},
                          {"Setup", "EndHour", "22"},
                          {"Setup", "AutoRun", "1"},
                          {"Setup", "EnablePrinter", " 0"},
                          {"Setup", "Printer", "Office Printer"}};
    for (int n = 1; n <= 16; ++n) {
        const QByteArray section = "Connection " + QByteArray::number(n);
        all.append({section, "IP", "10.0.0." + QByteArray::number(20 + n)});
        all.append({section, "DVR_PORT", QByteArray::number(9100 + n)});
        all.append({section, "POS_PORT", n == 7 ? pos7 : QByteArray::number(9000 + n)});
        all.append({section, "ENABLE", n % 2 ? "1" : "0"});
    }
    return all;
}

}  // namespace

class TestIni : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(dir_.emplace().isValid());
        path_ = dir_->filePath("PosKavelin.ini");
    }
    void cleanup() { dir_.reset(); }

    void fullSaveLayout() {
        for (const Setting& s : AllSettings()) {
            WriteIni(path_, s.section, s.key, s.value);
        }
        QByteArray expected =
            "[Setup]\r\nPrinter=Office Printer\r\nEnablePrinter= 0\r\nAutoRun=1\r\nEndHour=22\r\n"
            "StartHour=6\r\nEnableSchedule=0\r\nHide=0\r\n";
        for (int n = 1; n <= 16; ++n) {
            const QByteArray num = QByteArray::number(n);
            expected += "\r\n[Connection " + num + "]\r\nENABLE=" + (n % 2 ? "1" : "0") +
                        "\r\nPOS_PORT=" + QByteArray::number(9000 + n) +
                        "\r\nDVR_PORT=" + QByteArray::number(9100 + n) + "\r\nIP=10.0.0." +
                        QByteArray::number(20 + n) + "\r\n";
        }
        const QByteArray first = Slurp(path_);
        QCOMPARE(first, expected);
        for (const Setting& s : AllSettings()) {
            QCOMPARE(ReadIni(path_, s.section, s.key), s.value);
        }

        for (const Setting& s : AllSettings()) {
            WriteIni(path_, s.section, s.key, s.value);
        }
        QCOMPARE(Slurp(path_), first);

        for (const Setting& s : AllSettings("9999")) {
            WriteIni(path_, s.section, s.key, s.value);
        }
        const QList<QByteArray> before = first.split('\n');
        const QList<QByteArray> after = Slurp(path_).split('\n');
        QCOMPARE(after.size(), before.size());
        QList<QByteArray> changed;
        for (qsizetype i = 0; i < after.size(); ++i) {
            if (after[i] != before[i]) {
                changed.append(after[i]);
            }
        }
        QCOMPARE(changed, QList<QByteArray>{"POS_PORT=9999\r"});
    }

    // Every file holds section "Setup"; the key asked for and the value expected vary.
    void read_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("names ignore case")
            << QByteArray("[SETUP]\r\nhide=1\r\n") << QByteArray("Hide") << QByteArray("1");
        QTest::newRow("blanks around =")
            << QByteArray("[Setup]\r\nHide = 1\r\n") << QByteArray("Hide") << QByteArray("");
        QTest::newRow("blank before key")
            << QByteArray("[Setup]\r\n Hide=1\r\n") << QByteArray("Hide") << QByteArray("");
        QTest::newRow("blank after header")
            << QByteArray("[Setup] \r\nHide=1\r\n") << QByteArray("Hide") << QByteArray("");
        QTest::newRow("value keeps = case blanks")
            << QByteArray("[Setup]\r\nPrinter= A=b== \r\n") << QByteArray("Printer")
            << QByteArray(" A=b== ");
        QTest::newRow("value with [") << QByteArray("[Setup]\r\nPrinter=HP [2]\r\n")
                                      << QByteArray("Printer") << QByteArray("");
        QTest::newRow("keys below [ hidden")
            << QByteArray("[Setup]\r\nPrinter=HP [2]\r\nHide=1\r\n") << QByteArray("Hide")
            << QByteArray("");
        QTest::newRow("key of other section")
            << QByteArray("[Setup]\r\nHide=1\r\n[Connection 1]\r\nIP=x\r\n") << QByteArray("IP")
            << QByteArray("");
        QTest::newRow("first match wins") << QByteArray("[Setup]\r\nHide=1\r\nHide=2\r\n")
                                          << QByteArray("Hide") << QByteArray("1");
        QTest::newRow("repeated section searched")
            << QByteArray("[Setup]\r\nA=1\r\n[B]\r\n[setup]\r\nHide=2\r\n") << QByteArray("Hide")
            << QByteArray("2");
        QTest::newRow("earlier occurrence wins")
            << QByteArray("[Setup]\r\nHide=1\r\n[Setup]\r\nHide=2\r\n") << QByteArray("Hide")
            << QByteArray("1");
        QTest::newRow("lone CR ends a line")
            << QByteArray("[Setup]\rHide=1\rAutoRun=0") << QByteArray("AutoRun") << QByteArray("0");
        QTest::newRow("lone LF does not")
            << QByteArray("[Setup]\nHide=1\r\n") << QByteArray("Hide") << QByteArray("");
        QTest::newRow("LF stays in value") << QByteArray("[Setup]\r\nPrinter=a\nb\r\n")
                                           << QByteArray("Printer") << QByteArray("a\nb");
        QTest::newRow("last line, no line end")
            << QByteArray("[Setup]\r\nHide=1") << QByteArray("Hide") << QByteArray("1");
        QTest::newRow("empty file") << QByteArray("") << QByteArray("Hide") << QByteArray("");
    }
    void read() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, expected);
        Spit(path_, file);
        QCOMPARE(ReadIni(path_, "Setup", key), expected);
        QCOMPARE(Slurp(path_), file);
    }

    // Every case writes "Hide" = "0" into "Setup" and must read it back afterwards.
    void write_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("header keeps its case")
            << QByteArray("[SETUP]\r\nhide=1\r\n") << QByteArray("[SETUP]\r\nHide=0\r\n");
        QTest::newRow("blanks around =") << QByteArray("[Setup]\r\nHide = 1\r\n")
                                         << QByteArray("[Setup]\r\nHide=0\r\nHide = 1\r\n");
        QTest::newRow("keys below [ re-added")
            << QByteArray("[Setup]\r\nPrinter=HP [2]\r\nHide=1\r\n")
            << QByteArray("[Setup]\r\nHide=0\r\nPrinter=HP [2]\r\nHide=1\r\n");
        QTest::newRow("only the line replaced")
            << QByteArray("[Setup]\r\nAutoRun=1\r\nHIDE=1\r\nEndHour=22\r\n")
            << QByteArray("[Setup]\r\nAutoRun=1\r\nHide=0\r\nEndHour=22\r\n");
        QTest::newRow("first match only") << QByteArray("[Setup]\r\nHide=1\r\nHide=2\r\n")
                                          << QByteArray("[Setup]\r\nHide=0\r\nHide=2\r\n");
        QTest::newRow("first occurrence only")
            << QByteArray("[Setup]\r\nA=1\r\n\r\n[Setup]\r\nHide=1\r\n")
            << QByteArray("[Setup]\r\nHide=0\r\nA=1\r\n\r\n[Setup]\r\nHide=1\r\n");
        QTest::newRow("key of other section")
            << QByteArray("[Setup]\r\nX=1\r\n\r\n[A]\r\nHide=1\r\n")
            << QByteArray("[Setup]\r\nHide=0\r\nX=1\r\n\r\n[A]\r\nHide=1\r\n");
        QTest::newRow("new section")
            << QByteArray("[A]\r\nX=1") << QByteArray("[A]\r\nX=1\r\n\r\n[Setup]\r\nHide=0\r\n");
        QTest::newRow("empty lines collapse")
            << QByteArray(
                   "\r\n\r\n[Setup]\r\nHide=1\r\n\r\n\r\n\r\n\r\n[B]\r\n\r\n\r\ny=2\r\n\r\n\r\n")
            << QByteArray("[Setup]\r\nHide=0\r\n\r\n[B]\r\n\r\ny=2\r\n");
        QTest::newRow("control chars trimmed, blank kept")
            << QByteArray("\t\r\n[Setup]\r\nHide=1\r\nX= \r\n\t") + '\0' + "\r\n"
            << QByteArray("[Setup]\r\nHide=0\r\nX= \r\n");
        QTest::newRow("last line, no line end") << QByteArray("[Setup]\r\nA=1\r\nHide=12345")
                                                << QByteArray("[Setup]\r\nA=1\r\nHide=0\r\n");
        QTest::newRow("header ends in lone CR")
            << QByteArray("[Setup]\rA=1\r\n") << QByteArray("[Setup]\rHide=0\r\nA=1\r\n");
        // Hand-edited line ends: the writer cuts lines where the reader does.
        QTest::newRow("lines after lone CRs") << QByteArray("[a]\rx=1\r[Setup]\rHide=1\r")
                                              << QByteArray("[a]\rx=1\r[Setup]\rHide=0\r\n");
        QTest::newRow("lone LF inside a value")
            << QByteArray("[Setup]\r\nA=x\nHide=1\r\n")
            << QByteArray("[Setup]\r\nHide=0\r\nA=x\nHide=1\r\n");
        QTest::newRow("header on the last line")
            << QByteArray("[Setup]") << QByteArray("[Setup]\r\nHide=0\r\n");
        // Positions past 32767 must work: the key sits behind 40 KB of another section.
        const QByteArray big = "[Big]\r\nk=" + QByteArray(40000, 'x') + "\r\n\r\n";
        QTest::newRow("past 16-bit positions") << big + "[Setup]\r\nHide=1\r\n"
                                               << big + "[Setup]\r\nHide=0\r\n";
    }
    void write() {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, expected);
        Spit(path_, file);
        WriteIni(path_, "Setup", "Hide", "0");
        QCOMPARE(Slurp(path_), expected);
        QCOMPARE(ReadIni(path_, "Setup", "Hide"), QByteArray("0"));
        WriteIni(path_, "Setup", "Hide", "0");
        QCOMPARE(Slurp(path_), expected);  // saving again changes nothing
    }

    void missingFile() {
        QCOMPARE(ReadIni(path_, "Setup", "Hide"), QByteArray());
        QVERIFY(QFile::exists(path_));
        QCOMPARE(Slurp(path_), QByteArray());
        QVERIFY(QFile::remove(path_));
        WriteIni(path_, "Section", "key", "value");
        QCOMPARE(Slurp(path_), QByteArray("[Section]\r\nkey=value\r\n"));
    }

    // Only A-Z fold; a Latin-1 style fold would make 0xC3 and 0xE3 the same byte.
    void namesBeyondAscii_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("same");
        QTest::newRow("ASCII letters fold") << QByteArray(
                                                   "Kasse Gr\xC3\xB6\xC3\x9F"
                                                   "e")
                                            << QByteArray(
                                                   "KASSE gR\xC3\xB6\xC3\x9F"
                                                   "E")
                                            << true;
        QTest::newRow("UTF-8 letters do not")
            << QByteArray("Caf\xC3\xA9") << QByteArray("Caf\xC3\x89") << false;
        QTest::newRow("no Latin-1 fold")
            << QByteArray("\xC3\x80") << QByteArray("\xE3\x80") << false;
    }
    void namesBeyondAscii() {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(bool, same);
        WriteIni(path_, first, first, "1");
        WriteIni(path_, second, second, "2");
        QCOMPARE(ReadIni(path_, first, first), QByteArray(same ? "2" : "1"));
        QCOMPARE(ReadIni(path_, second, second), QByteArray("2"));
        QCOMPARE(Slurp(path_).count('='), same ? 1 : 2);
    }

    void valuesKeepEveryByte() {
        QByteArray value;
        for (int c = 0; c < 256; ++c) {
            if (c != '\r' && c != '\n' && c != '[') {
                value += static_cast<char>(c);
            }
        }
        // Ends in 0xFF on the file's last line: read as a signed char it would count as a
        // control code and be trimmed away.
        WriteIni(path_, "Setup", "Printer", value);
        QCOMPARE(ReadIni(path_, "Setup", "Printer"), value);
        WriteIni(path_, "Setup", "Hide", "1");
        QCOMPARE(ReadIni(path_, "Setup", "Printer"), value);
    }

    void ownerGetsAccessBack() {
        Spit(path_, "[Setup]\r\nHide=1\r\n");
        QVERIFY(QFile::setPermissions(path_, QFile::WriteOwner));
        QCOMPARE(ReadIni(path_, "Setup", "Hide"), QByteArray("1"));
        QVERIFY(QFile::permissions(path_) & QFile::ReadOwner);

        QVERIFY(QFile::setPermissions(path_, QFile::ReadOwner | QFile::ReadGroup));
        WriteIni(path_, "Setup", "Hide", "0");
        QCOMPARE(Slurp(path_), QByteArray("[Setup]\r\nHide=0\r\n"));
        const QFile::Permissions kept = QFile::permissions(path_);
        QVERIFY(kept & QFile::WriteOwner);
#ifdef Q_OS_LINUX
        // Windows has one read-only mark for everyone, not bits for the group.
        QVERIFY(kept & QFile::ReadGroup);
        QVERIFY(!(kept & QFile::WriteGroup));
#endif
    }

#ifdef Q_OS_LINUX
    void folderThatRefusesNewFilesStillSaves() {
        // Root ignores folder permissions; a tmpfs with no inode to spare refuses any new
        // file for root too, while the one file in it stays writable.
        QTemporaryDir mount;
        const bool mounted =
            ::geteuid() == 0 && ::mount("none", QFile::encodeName(mount.path()).constData(),
                                        "tmpfs", 0, "size=64k,nr_inodes=2") == 0;
        const QString folder = mounted ? mount.path() : dir_->path();
        const QString path = folder + "/PosKavelin.ini";
        Spit(path, "[Setup]\r\nHide=1\r\nAutoRun=1\r\n");
        if (!mounted) {
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        }
        std::optional<IniError> error;
        try {
            WriteIni(path, "Setup", "Hide", "0");
        } catch (const IniError& e) {
            error = e;
        }
        const QByteArray after = Slurp(path);
        if (mounted) {
            ::umount(QFile::encodeName(folder).constData());
        } else {
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        QVERIFY2(!error, error ? error->what() : "");
        QCOMPARE(after, QByteArray("[Setup]\r\nHide=0\r\nAutoRun=1\r\n"));
    }

#endif

    void failureLeavesOldFile_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason");
#ifdef Q_OS_LINUX
        QTest::newRow("disk full") << "limit"
                                   << "File too large";
#endif
#ifdef Q_OS_WIN
        QTest::newRow("folder is a file") << "notdir"
                                          << "Path not found";
#else
        QTest::newRow("folder is a file") << "notdir"
                                          << "Not a directory";
#endif
    }
    void failureLeavesOldFile() {
        QFETCH(QString, how);
        QFETCH(QString, reason);
        const QByteArray old = "[Setup]\r\nHide=1\r\n";
        Spit(path_, old);
        QString target = path_;
        std::optional<IniError> error;
        auto attempt = [&] {
            try {
                WriteIni(target, "Setup", "Printer", "A printer with a long name");
            } catch (const IniError& e) {
                error = e;
            }
        };
        if (how == "limit") {
#ifdef Q_OS_LINUX
            const FileSizeLimit limit(8);
            attempt();
#endif
        } else {
            target = path_ + "/PosKavelin.ini";
            attempt();
            QVERIFY_THROWS_EXCEPTION(IniError, ReadIni(target, "Setup", "Hide"));
        }
        QVERIFY(error.has_value());
        const QString message = QString::fromStdString(error->what());
        QVERIFY2(message.contains(target), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        QCOMPARE(Slurp(path_), old);
        QCOMPARE(QDir(dir_->path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"PosKavelin.ini"});
    }

private:
    std::optional<QTemporaryDir> dir_;
    QString path_;
};

QTEST_GUILESS_MAIN(TestIni)
#include "tst_ini.moc"
