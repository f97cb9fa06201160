#include <windows.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "settings/ini.h"

namespace {

DWORD attributesOf(const QString& path) {
    return ::GetFileAttributesW(path.toStdWString().c_str());
}

constexpr DWORD kMarked = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

// A settings file marked read-only, hidden or system in Explorer is read and saved all the
// same, and keeps the archive attribute alone afterwards.
class TestIniAttributes : public QObject {
    Q_OBJECT
private slots:
    void everyAccessResetsTheAttributesToArchive() {
        QTemporaryDir dir;
        const QString path = dir.filePath("PosKavelin.ini");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Setup]\r\nHide=1\r\n");
        file.close();

        QVERIFY(::SetFileAttributesW(path.toStdWString().c_str(), kMarked));
        QCOMPARE(ReadIni(path, "Setup", "Hide"), QByteArray("1"));
        QCOMPARE(attributesOf(path), DWORD(FILE_ATTRIBUTE_ARCHIVE));

        QVERIFY(::SetFileAttributesW(path.toStdWString().c_str(), kMarked));
        WriteIni(path, "Setup", "Hide", "0");
        QCOMPARE(attributesOf(path) & kMarked, DWORD(0));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("[Setup]\r\nHide=0\r\n"));
    }
};

QTEST_MAIN(TestIniAttributes)
#include "tst_ini_attributes.moc"
