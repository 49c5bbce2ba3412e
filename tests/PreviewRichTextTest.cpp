// Rich-text files in the preview pane: the document's own letters, and only the beginning
// of a long one, with a note that says so.
#include "preview/QDPreview.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

using cpuconfig::TQDOpenPreviewDialog;

class PreviewRichTextTest : public QObject {
    Q_OBJECT

private slots:
    void showsTheBeginningWithANote_data() {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("firstLine");
        QTest::addColumn<bool>("noted");
        const QByteArray fonts = R"({\rtf1\ansi{\fonttbl{\f0\fcharset204 Arial;}}\f0 )";
        QTest::newRow("short") << fonts + R"(\'cf\'f0\'e8\'e2\'e5\'f2\par})"
                               << QStringLiteral("Привет") << false;
        QTest::newRow("long") << fonts + QByteArray(R"({\b \'cf} line\par )").repeated(20000)
                              << QStringLiteral("П line") << true;
        QTest::newRow("long-file-short-text")
            << fonts + R"(\'cf{\pict )" + QByteArray(3 << 20, 'a') + "}}" << QStringLiteral("П")
            << true;
    }
    void showsTheBeginningWithANote() {
        QFETCH(QByteArray, rtf);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("doc.rtf")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(rtf) == rtf.size());
        file.close();
        TQDOpenPreviewDialog dlg(nullptr, 0x0407);
        dlg.setDirectory(dir.path());
        dlg.open();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        emit dlg.currentChanged(file.fileName());
        const QTextDocument* doc = dlg.previewText()->document();
        QTEST(doc->firstBlock().text(), "firstLine");
        QFETCH(bool, noted);
        QCOMPARE(doc->lastBlock().text() ==
                     QStringLiteral("Nur der Anfang des Dokuments wird angezeigt."),
                 noted);
        QVERIFY(doc->characterCount() <= int(cpuconfig::kRichTextShownLimit));
    }
};

QTEST_MAIN(PreviewRichTextTest)
#include "PreviewRichTextTest.moc"
