// The preview open dialog and its pane, on real widgets offscreen with real files.
#include "preview/qt/QDPreview.h"
#include "preview/RtfReader.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QMimeDatabase>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeView>

#include <memory>
#include <stdexcept>
#include <sys/stat.h>

using cpuconfig::TQDOpenPreviewDialog;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The no-preview or type-name message: the only text, on the last line, centred.
QString centredMessage(const TQDOpenPreviewDialog& dlg) {
    const QTextDocument* doc = dlg.previewText()->document();
    const QTextBlock last = doc->lastBlock();
    const bool alone = doc->toPlainText().trimmed() == last.text().trimmed();
    return alone && last.blockFormat().alignment() == Qt::AlignHCenter ? last.text() : "<text>";
}

} // namespace

class QDPreviewTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TQDOpenPreviewDialog> m_dlg;

    QString file(const QString& name) const { return m_dir->filePath(name); }
    QString text() const { return m_dlg->previewText()->document()->toPlainText(); }

    void openDialog(std::uint16_t language = 0x0409) {
        m_dlg = std::make_unique<TQDOpenPreviewDialog>(nullptr, language);
        m_dlg->setDirectory(m_dir->path());
        m_dlg->resize(760, 420);
        m_dlg->open();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    // What the platform dialog reports when the technician clicks a file.
    void select(const QString& path) { emit m_dlg->currentChanged(path); }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dlg.reset(); }

    // What the pane cannot show gives a centred message in the dialog's language. The button
    // turns the pane off and on at once, and the property follows it.
    void centredMessages_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        const QString none = QStringLiteral("Ingen visning");
        QTest::newRow("no selection") << "" << none;
        QTest::newRow("folder") << "sub" << none;
        QTest::newRow("undecodable bmp") << "broken.bmp" << none;
        QTest::newRow("unreadable txt") << "locked.txt" << none;
#ifndef _WIN32 // no named pipes among a folder's files there
        QTest::newRow("pipe named txt") << "pipe.txt" << none;
#endif
        QTest::newRow("bmp claiming a huge size") << "huge.bmp" << none;
        QTest::newRow("type unknown to the desktop") << "fw.bin"
                                                     << "BIN File";
        QTest::newRow("no extension, no type name") << "firmware" << none;
        QTest::newRow("pane turned off") << "notes.txt" << none;
    }
    void centredMessages() {
        QFETCH(QString, name);
        QVERIFY(QDir(m_dir->path()).mkpath("sub"));
        writeFile(file("broken.bmp"), "BM this is no bitmap");
        // 30000 x 30000 pixels of 24 bits claimed, none there.
        writeFile(file("huge.bmp"),
                  QByteArray::fromHex("424D36BBEEA000000000360000002800000030750000"
                                      "30750000010018000000000000BBEEA0130B0000130B"
                                      "00000000000000000000"));
        writeFile(file("fw.bin"), QByteArray(4096, '\0'));
        writeFile(file("firmware"), QByteArray(4096, '\0'));
        writeFile(file("locked.txt"), "secret");
        QFile::setPermissions(file("locked.txt"), QFileDevice::Permissions{});
        if (name == "locked.txt" && QFile(file("locked.txt")).open(QIODevice::ReadOnly))
            QSKIP("running with rights that read any file");
#ifndef _WIN32
        // A pipe would block a read for ever; it is no file to preview.
        QVERIFY(::mkfifo(QFile::encodeName(file("pipe.txt")).constData(), 0600) == 0);
#endif
        writeFile(file("notes.txt"), "some notes");
        openDialog(0x0406);
        const bool off = name == "notes.txt";
        if (off)
            m_dlg->showPreviewButton()->click();
        QCOMPARE(m_dlg->ShowPreview(), !off);
        select(name.isEmpty() ? QString() : file(name));
        QVERIFY(m_dlg->isTextMode() && m_dlg->previewImage()->isHidden());
        QTEST(centredMessage(*m_dlg), "shown");
        QCOMPARE(m_dlg->captionPanel()->text(), QStringLiteral("Prøvevisning:"));
        if (off) {
            m_dlg->showPreviewButton()->click();
            QCOMPARE(text(), QStringLiteral("some notes"));
        }
    }

    // A text file shows its beginning; a cut one ends with the note saying so.
    void textHeadAndNote_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("last");
        const QByteArray fonts = R"({\rtf1\ansi{\fonttbl{\f0\fcharset204 Arial;}}\f0 )";
        const QString docCut = QStringLiteral("Nur der Anfang des Dokuments wird angezeigt.");
        const QString line = QStringLiteral("0123456789abcdef").repeated(4);
        QTest::newRow("rtf") << "a.rtf" << fonts + R"(\'cf\'f0\'e8\'e2\'e5\'f2\par})"
                             << "Привет"
                             << "Привет";
        QTest::newRow("long rtf") << "a.rtf"
                                  << fonts + QByteArray(R"({\b \'cf} line\par )").repeated(20000)
                                  << "П line" << docCut;
        QTest::newRow("long file, short rtf")
            << "a.rtf" << fonts + R"(\'cf{\pict )" + QByteArray(3 << 20, 'a') + "}}"
            << "П" << docCut;
        QTest::newRow("huge log") << "big.log" << (line + "\n").toLatin1().repeated(48400) << line
                                  << "Nur das erste 1 MiB wird angezeigt.";
    }
    void textHeadAndNote() {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        writeFile(file(name), bytes);
        openDialog(0x0407);
        select(file(name));
        const QTextDocument* doc = m_dlg->previewText()->document();
        QTEST(doc->firstBlock().text(), "first");
        QTEST(doc->lastBlock().text(), "last");
        QVERIFY(doc->characterCount() <= int(cpuconfig::kTextPreviewLimit) + 64);
    }

    // Extensions given to the dialog go to its handler, which fills the pane or leaves it.
    void customExtensions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("handler"); // 0 none, 1 writes a line, 2 writes nothing, 3 throws
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("textMode");
        QTest::newRow("listed without handler is text") << "a.txt" << 0 << "plain words" << true;
        QTest::newRow("handler writes") << "a.txt" << 1 << "handled txt" << true;
        QTest::newRow("handler writes nothing") << "a.txt" << 2 << "" << false;
        QTest::newRow("handler throws") << "a.txt" << 3 << "No preview" << true;
        QTest::newRow("unlisted extension ignores handler") << "b.log" << 1 << "log words" << true;
    }
    void customExtensions() {
        QFETCH(QString, name);
        QFETCH(int, handler);
        writeFile(file("a.txt"), "plain words");
        writeFile(file("b.log"), "log words");
        openDialog();
        m_dlg->setCustomPreviewExtensions({QStringLiteral("TXT")});
        QString received = "txt";
        if (handler != 0) {
            received.clear();
            m_dlg->setOnPreview([&](TQDOpenPreviewDialog& sender, const QString& ext) {
                received = ext;
                if (handler == 1)
                    sender.previewText()->append("handled " + ext);
                else if (handler == 3)
                    throw std::runtime_error("viewer failed");
            });
        }
        select(file(name));
        QTEST(m_dlg->isTextMode(), "textMode");
        QTEST(handler == 3 ? centredMessage(*m_dlg) : text(), "shown");
        QCOMPARE(received, name == "a.txt" ? QStringLiteral("txt") : QString());
    }

    // Wrapping and scaling are on at first. The button turns them off at once, for the next
    // file too: a long line scrolls, a large picture keeps its size and scrolls.
    void wrapAndScale_data() {
        QTest::addColumn<bool>("scale");
        QTest::newRow("on") << true;
        QTest::newRow("turned off") << false;
    }
    void wrapAndScale() {
        QFETCH(bool, scale);
        writeFile(file("long.log"), "first\r\n" + QByteArray("word ").repeated(400) + "\r\n");
        QImage image(QSize(800, 600), QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        QVERIFY(image.save(file("pic.png")));
        openDialog();
        select(file("long.log"));
        QVERIFY(text().startsWith("first\n"));
        QCOMPARE(m_dlg->previewText()->horizontalScrollBar()->maximum(), 0);
        if (!scale)
            m_dlg->wordWrapButton()->click();
        QCOMPARE(m_dlg->WordWrapAndScale(), scale);
        QTRY_COMPARE(m_dlg->previewText()->horizontalScrollBar()->maximum() > 0, !scale);
        select(file("pic.png"));
        QVERIFY(!m_dlg->isTextMode());
        const QSize client = m_dlg->previewBox()->maximumViewportSize();
        const auto p =
            cpuconfig::placePicture({800, 600}, {client.width(), client.height()}, scale);
        QCOMPARE(m_dlg->previewImage()->pictureRect(), QRect(p.x, p.y, p.width, p.height));
        QCOMPARE(m_dlg->previewImage()->size(), scale ? client : image.size());
        QTRY_COMPARE(m_dlg->previewBox()->horizontalScrollBar()->maximum() > 0, !scale);
    }

    void soundPlaysUntilTheNextUpdateOrClose() {
        // Mono 16-bit PCM at 8 kHz, 1600 bytes of silence.
        writeFile(file("ding.wav"), QByteArray::fromHex("52494646640600005741564566"
                                                        "6D74201000000001000100401F0000803E0000"
                                                        "020010006461746140060000") +
                                        QByteArray(1600, '\0'));
        writeFile(file("a.txt"), "text");
        openDialog();
        select(file("ding.wav"));
        QCOMPARE(centredMessage(*m_dlg),
                 QMimeDatabase().mimeTypeForName(QStringLiteral("audio/x-wav")).comment());
        QCOMPARE(m_dlg->playingSound(), QUrl::fromLocalFile(file("ding.wav")));
        select(file("a.txt"));
        QVERIFY(m_dlg->playingSound().isEmpty());
        select(file("ding.wav"));
        bool stoppedBeforeClose = false;
        connect(m_dlg.get(), &TQDOpenPreviewDialog::closing, this,
                [&] { stoppedBeforeClose = m_dlg->playingSound().isEmpty(); });
        QVERIFY(!m_dlg->playingSound().isEmpty());
        m_dlg->reject();
        QVERIFY(stoppedBeforeClose);
    }

    // A click in the dialog's own list reaches the pane, announced before it changes.
    void realSelectionReachesThePane() {
        writeFile(file("hello.txt"), "hello from disk");
        openDialog();
        int notified = 0;
        connect(m_dlg.get(), &TQDOpenPreviewDialog::selectionChanging, this, [&] {
            ++notified;
            QVERIFY(text() != QStringLiteral("hello from disk"));
        });
        auto* view = m_dlg->findChild<QListView*>(QStringLiteral("listView"));
        auto* model = qobject_cast<QFileSystemModel*>(view->model());
        QTRY_VERIFY(model->index(file("hello.txt")).isValid());
        view->setCurrentIndex(model->index(file("hello.txt")));
        QCOMPARE(text(), QStringLiteral("hello from disk"));
        QCOMPARE(m_dlg->currentPath(), file("hello.txt"));
        QVERIFY(notified > 0);
    }

    // The details list shows a file's size, type and date whole, and its name beside them.
    void detailColumnsShowTheirTexts() {
        writeFile(file("samples.rtf"), QByteArray(290, 'x'));
        openDialog();
        auto* view = m_dlg->findChild<QTreeView*>(QStringLiteral("treeView"));
        const QModelIndex name =
            qobject_cast<QFileSystemModel*>(view->model())->index(file("samples.rtf"));
        QTRY_VERIFY(name.isValid());
        const auto fits = [&](int column) {
            const QString shown = name.siblingAtColumn(column).data().toString();
            return view->header()->sectionSize(column) >
                   view->fontMetrics().horizontalAdvance(shown);
        };
        QTRY_VERIFY(fits(1) && fits(2) && fits(3));
        QVERIFY(fits(0));
        QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
    }

    // Each fragment as [its formats] and text, each paragraph after "|" or "|centre|".
    void rtfFillsTheDocument() {
        const auto rtf = cpuconfig::readRtf("{\\rtf1 {\\b Bold}{\\i Ital}\\par\\qc {\\ul Under} x"
                                            "\\par\\pard\\b\\i both}");
        QVERIFY(rtf.ok());
        QTextDocument doc;
        cpuconfig::fillDocument(doc, *rtf, QFont());
        QString shown;
        for (QTextBlock b = doc.begin(); b != doc.end(); b = b.next()) {
            shown += b.blockFormat().alignment() & Qt::AlignHCenter ? "|centre|" : "|";
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat f = it.fragment().charFormat();
                shown +=
                    QStringLiteral("[%1%2%3]%4")
                        .arg(f.fontWeight() == QFont::Bold ? "b" : "", f.fontItalic() ? "i" : "",
                             f.fontUnderline() ? "u" : "", it.fragment().text());
            }
        }
        QCOMPARE(shown, QStringLiteral("|[b]Bold[i]Ital|centre|[u]Under[] x|[bi]both"));
    }
};

QTEST_MAIN(QDPreviewTest)
#include "QDPreviewTest.moc"
