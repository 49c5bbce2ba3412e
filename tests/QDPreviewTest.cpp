// The preview open dialog and its pane, on real widgets offscreen with real files.
#include "preview/QDPreview.h"
#include "preview/RtfReader.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QFileSystemModel>
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
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

#include <stdexcept>
#include <sys/stat.h>

using cpuconfig::TQDOpenPreviewDialog;

Q_DECLARE_METATYPE(std::uint16_t)

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A mono 16-bit PCM wave of a few milliseconds.
QByteArray waveFile() {
    const quint32 dataBytes = 1600;
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    out << quint32(16) << quint16(1) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
        << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    return wav + QByteArray(dataBytes, '\0');
}

// A bitmap header that claims 30000 x 30000 pixels and brings none.
QByteArray hugeBitmapHeader() {
    const quint32 pixelBytes = 30000u * 30000u * 3;
    QByteArray bmp;
    QDataStream out(&bmp, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("BM", 2);
    out << quint32(54 + pixelBytes) << quint32(0) << quint32(54) << quint32(40) << quint32(30000)
        << quint32(30000) << quint16(1) << quint16(24) << quint32(0) << pixelBytes << quint32(2835)
        << quint32(2835) << quint32(0) << quint32(0);
    return bmp;
}

QByteArray binaryImage() {
    QByteArray image;
    for (int i = 0; i < 4096; ++i) {
        image.append(char((i * 7) & 0xFF));
    }
    return image;
}

QString viewerText(const TQDOpenPreviewDialog& dlg) {
    return dlg.previewText()->document()->toPlainText();
}

// The no-preview or type-name message: the last line, centred, after blank lines.
QString centredMessage(const TQDOpenPreviewDialog& dlg) {
    const QTextDocument* doc = dlg.previewText()->document();
    const QTextBlock last = doc->lastBlock();
    if (last.blockFormat().alignment() != Qt::AlignHCenter) {
        return QStringLiteral("<not centred>");
    }
    for (QTextBlock b = doc->firstBlock(); b != last; b = b.next()) {
        if (!b.text().isEmpty()) {
            return QStringLiteral("<text above the message>");
        }
    }
    return last.text();
}

} // namespace

class QDPreviewTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TQDOpenPreviewDialog> m_dlg;

    QString file(const QString& name) const { return m_dir->filePath(name); }

    void openDialog(std::uint16_t language = 0x0409) {
        m_dlg = std::make_unique<TQDOpenPreviewDialog>(nullptr, language);
        m_dlg->setDirectory(m_dir->path());
        m_dlg->resize(760, 420);
        m_dlg->open();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    // What the platform dialog reports when the technician clicks a file.
    void select(const QString& path) { emit m_dlg->currentChanged(path); }

    // As the technician's click does it: the file becomes the current item of the list.
    void clickInList(const QString& path) {
        auto* view = m_dlg->findChild<QListView*>(QStringLiteral("listView"));
        QVERIFY(view != nullptr);
        auto* model = qobject_cast<QFileSystemModel*>(view->model());
        QVERIFY(model != nullptr);
        QTRY_VERIFY(model->index(path).isValid());
        view->setCurrentIndex(model->index(path));
    }

    // Runs the dialog modally; inside, act and then close it.
    bool execute(TQDOpenPreviewDialog& dlg, const std::function<void()>& act) {
        QTimer::singleShot(0, &dlg, act);
        return dlg.Execute();
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
    }
    void cleanup() { m_dlg.reset(); }

    void textsFollowTheLanguage_data() {
        QTest::addColumn<std::uint16_t>("language");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("texts"); // no preview, caption, show-preview hint
        auto row = [](const char* name, std::uint16_t id, const char* keys, QStringList texts) {
            QTest::newRow(name) << id << keys << texts;
        };
        row("danish", 0x0406, "0406/0006", {"Ingen visning", "Prøvevisning:", "Vis prøve"});
        row("swiss-german", 0x0807, "0807/0007", {"Keine Vorschau", "Vorschau:", "Vorschau"});
        row("chinese", 0x0804, "0804/0004", {"No preview", "Preview:", "Show Preview"});
    }
    void textsFollowTheLanguage() {
        QFETCH(std::uint16_t, language);
        openDialog(language);
        QTEST(m_dlg->LanguageId() + "/" + m_dlg->PrimaryLanguageId(), "keys");
        QTEST(QStringList({centredMessage(*m_dlg), m_dlg->captionPanel()->text(),
                           m_dlg->showPreviewButton()->toolTip()}),
              "texts");
    }

    void executeDropsOldStyleAndReturnsTheChosenFile() {
        writeFile(file("fw.bin"), QByteArray(64, '\x5A'));
        TQDOpenPreviewDialog dlg(nullptr, 0x0409);
        dlg.setOpenOptions(dlg.openOptions() | TQDOpenPreviewDialog::ofOldStyleDialog);
        dlg.setFilter(QStringLiteral("配置文件 (*.bin)"));
        dlg.setInitialDir(m_dir->path());
        QVERIFY(execute(dlg, [&] {
            dlg.selectFile(file("fw.bin"));
            QMetaObject::invokeMethod(&dlg, "accept");
        }));
        QCOMPARE(QFileInfo(dlg.FileName()).canonicalFilePath(),
                 QFileInfo(file("fw.bin")).canonicalFilePath());
        QCOMPARE(dlg.openOptions() & TQDOpenPreviewDialog::ofOldStyleDialog, 0u);
        QCOMPARE(dlg.nameFilters(), QStringList{QStringLiteral("配置文件 (*.bin)")});
        // Cancelled: false, and the last chosen file stays.
        QVERIFY(!execute(dlg, [&] { dlg.reject(); }));
        QVERIFY(dlg.FileName().endsWith(QStringLiteral("fw.bin")));
    }

    void noPreviewCases_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("buttonUp");
        QTest::newRow("no-selection") << "" << false;
        QTest::newRow("folder") << "sub" << false;
        QTest::newRow("button-up") << "notes.txt" << true;
        QTest::newRow("undecodable-bmp") << "broken.bmp" << false;
        QTest::newRow("unreadable-txt") << "locked.txt" << false;
        QTest::newRow("pipe-named-txt") << "pipe.txt" << false;
        QTest::newRow("bmp-claiming-huge-size") << "huge.bmp" << false;
    }
    void noPreviewCases() {
        QFETCH(QString, name);
        QFETCH(bool, buttonUp);
        QVERIFY(QDir(m_dir->path()).mkpath("sub"));
        writeFile(file("notes.txt"), "some notes");
        writeFile(file("broken.bmp"), "BM this is no bitmap");
        writeFile(file("huge.bmp"), hugeBitmapHeader());
        writeFile(file("locked.txt"), "secret");
        QFile::setPermissions(file("locked.txt"), QFileDevice::Permissions{});
        if (name == "locked.txt" && QFile(file("locked.txt")).open(QIODevice::ReadOnly)) {
            QSKIP("running with rights that read any file");
        }
        // A pipe would block a read for ever; it is no file to preview.
        QVERIFY(::mkfifo(QFile::encodeName(file("pipe.txt")).constData(), 0600) == 0);
        openDialog(0x0406);
        if (buttonUp) {
            m_dlg->showPreviewButton()->click();
            QVERIFY(!m_dlg->ShowPreview());
        }
        select(name.isEmpty() ? QString() : file(name));
        QVERIFY(m_dlg->isTextMode());
        QCOMPARE(centredMessage(*m_dlg), QStringLiteral("Ingen visning"));
        QVERIFY(!m_dlg->previewText()->isHidden());
        QVERIFY(m_dlg->previewImage()->isHidden());
    }

    void textFileShownAndWrapToggles() {
        writeFile(file("long.log"), "first\r\n" + QByteArray("word ").repeated(400) + "\r\n");
        openDialog();
        select(file("long.log"));
        QVERIFY(m_dlg->isTextMode());
        QVERIFY(viewerText(*m_dlg).startsWith("first\n"));
        QCOMPARE(m_dlg->previewText()->horizontalScrollBar()->maximum(), 0);
        m_dlg->wordWrapButton()->click();
        QVERIFY(!m_dlg->WordWrapAndScale());
        QTRY_VERIFY(m_dlg->previewText()->horizontalScrollBar()->maximum() > 0);
        // The choice holds for the next file too.
        select(file("long.log"));
        QCOMPARE(m_dlg->previewText()->lineWrapMode(), QTextEdit::NoWrap);
    }

    void richTextShowsTheBeginningWithANote_data() {
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
    void richTextShowsTheBeginningWithANote() {
        QFETCH(QByteArray, rtf);
        writeFile(file("doc.rtf"), rtf);
        openDialog(0x0407);
        select(file("doc.rtf"));
        const QTextDocument* doc = m_dlg->previewText()->document();
        QTEST(doc->firstBlock().text(), "firstLine");
        QFETCH(bool, noted);
        QCOMPARE(doc->lastBlock().text() ==
                     QStringLiteral("Nur der Anfang des Dokuments wird angezeigt."),
                 noted);
        QVERIFY(doc->characterCount() <= int(cpuconfig::kRichTextShownLimit));
    }

    void hugeTextFileShowsItsHeadOnly() {
        const QByteArray line = QByteArray("0123456789abcdef").repeated(4) + "\n"; // 65 bytes
        writeFile(file("big.log"), line.repeated(3 * 1024 * 1024 / 65));
        openDialog();
        select(file("big.log"));
        const QTextDocument* doc = m_dlg->previewText()->document();
        QCOMPARE(doc->lastBlock().text(), QStringLiteral("Only the first 1 MiB is shown."));
        QVERIFY(doc->characterCount() <= int(cpuconfig::kTextPreviewLimit) + 64);
        QVERIFY(doc->characterCount() > int(cpuconfig::kTextPreviewLimit) - 128);
    }

    void otherFilesShowTheirTypeName_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("bin-unknown-to-the-desktop") << "fw.bin"
                                                    << "BIN File";
        QTest::newRow("no-extension-no-name") << "firmware"
                                              << "No preview";
    }
    void otherFilesShowTheirTypeName() {
        QFETCH(QString, name);
        writeFile(file(name), binaryImage());
        openDialog();
        select(file(name));
        QVERIFY(m_dlg->isTextMode());
        QTEST(centredMessage(*m_dlg), "shown");
    }

    void customExtensions_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("handler"); // 0 none, 1 writes a line, 2 writes nothing, 3 throws
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("textMode");
        QTest::newRow("listed-without-handler-is-text") << "a.txt" << 0 << "plain words" << true;
        QTest::newRow("handler-writes") << "a.txt" << 1 << "handled txt" << true;
        QTest::newRow("handler-writes-nothing") << "a.txt" << 2 << "" << false;
        QTest::newRow("handler-throws") << "a.txt" << 3 << "No preview" << true;
        QTest::newRow("unlisted-extension-ignores-handler") << "b.log" << 1 << "log words" << true;
    }
    void customExtensions() {
        QFETCH(QString, name);
        QFETCH(int, handler);
        writeFile(file("a.txt"), "plain words");
        writeFile(file("b.log"), "log words");
        openDialog();
        m_dlg->setCustomPreviewExtensions({QStringLiteral("TXT")});
        QString received;
        if (handler != 0) {
            m_dlg->setOnPreview([&](TQDOpenPreviewDialog& sender, const QString& ext) {
                received = ext;
                if (handler == 1) {
                    sender.previewText()->append("handled " + ext);
                } else if (handler == 3) {
                    throw std::runtime_error("viewer failed");
                }
            });
        }
        select(file(name));
        QTEST(m_dlg->isTextMode(), "textMode");
        QTEST(handler == 3 ? centredMessage(*m_dlg) : viewerText(*m_dlg), "shown");
        if (handler != 0 && name == "a.txt") {
            QCOMPARE(received, QStringLiteral("txt"));
        }
    }

    // The button updates the pane at once.
    void showPreviewButtonAndProperty() {
        writeFile(file("a.txt"), "visible text");
        openDialog();
        m_dlg->showPreviewButton()->click();
        select(file("a.txt"));
        QCOMPARE(centredMessage(*m_dlg), QStringLiteral("No preview"));
        m_dlg->showPreviewButton()->click();
        QVERIFY(m_dlg->ShowPreview());
        QCOMPARE(viewerText(*m_dlg), QStringLiteral("visible text"));
    }

    void pictureScaling_data() {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<bool>("scale");
        QTest::newRow("large-scaled") << QSize(800, 600) << true;
        QTest::newRow("large-scrolls") << QSize(800, 600) << false;
        QTest::newRow("small-natural") << QSize(100, 50) << false;
    }
    void pictureScaling() {
        QFETCH(QSize, picture);
        QFETCH(bool, scale);
        QImage image(picture, QImage::Format_RGB32);
        image.fill(Qt::darkGreen);
        QVERIFY(image.save(file("pic.png")));
        openDialog();
        if (!scale) {
            m_dlg->wordWrapButton()->click();
        }
        select(file("pic.png"));
        QVERIFY(!m_dlg->isTextMode());
        const QSize client = m_dlg->previewBox()->maximumViewportSize();
        const auto expected = cpuconfig::placePicture({picture.width(), picture.height()},
                                                      {client.width(), client.height()}, scale);
        const QRect shown = m_dlg->previewImage()->pictureRect();
        QCOMPARE(shown, QRect(expected.x, expected.y, expected.width, expected.height));
        const bool larger = picture.width() > client.width() || picture.height() > client.height();
        if (larger && !scale) {
            QCOMPARE(m_dlg->previewImage()->size(), picture);
            QTRY_VERIFY(m_dlg->previewBox()->horizontalScrollBar()->maximum() > 0);
            QVERIFY(m_dlg->previewBox()->verticalScrollBar()->maximum() > 0);
        } else {
            QCOMPARE(m_dlg->previewImage()->size(), client);
            QCOMPARE(m_dlg->previewBox()->horizontalScrollBar()->maximum(), 0);
        }
    }

    void soundPlaysUntilTheNextUpdateOrClose() {
        writeFile(file("ding.wav"), waveFile());
        writeFile(file("a.txt"), "text");
        openDialog();
        select(file("ding.wav"));
        QCOMPARE(centredMessage(*m_dlg),
                 QMimeDatabase().mimeTypeForName(QStringLiteral("audio/x-wav")).comment());
        QCOMPARE(m_dlg->playingSound(), QUrl::fromLocalFile(file("ding.wav")));
        select(file("a.txt"));
        QVERIFY(m_dlg->playingSound().isEmpty());
        select(file("ding.wav"));
        QVERIFY(!m_dlg->playingSound().isEmpty());
        bool stoppedBeforeClose = false;
        connect(m_dlg.get(), &TQDOpenPreviewDialog::closing, this,
                [&] { stoppedBeforeClose = m_dlg->playingSound().isEmpty(); });
        m_dlg->reject();
        QVERIFY(stoppedBeforeClose);
    }

    void realSelectionReachesThePane() {
        writeFile(file("hello.txt"), "hello from disk");
        openDialog();
        int notified = 0;
        connect(m_dlg.get(), &TQDOpenPreviewDialog::selectionChanging, this, [&] {
            ++notified;
            // Raised before the pane updates.
            QVERIFY(viewerText(*m_dlg) != QStringLiteral("hello from disk"));
        });
        clickInList(file("hello.txt"));
        QCOMPARE(viewerText(*m_dlg), QStringLiteral("hello from disk"));
        QCOMPARE(m_dlg->currentPath(), file("hello.txt"));
        QVERIFY(notified > 0);
    }

    void rtfRoundTripToTheDocument() {
        const auto rtf = cpuconfig::readRtf("{\\rtf1 {\\b Bold}{\\i Ital}\\par\\qc {\\ul Under} x"
                                            "\\par\\pard\\b\\i both}");
        QVERIFY(rtf.ok());
        QTextDocument doc;
        cpuconfig::fillDocument(doc, *rtf, QFont());
        QCOMPARE(doc.toPlainText(), QStringLiteral("BoldItal\nUnder x\nboth"));
        // Position: bold, italic, underline.
        const std::pair<int, const char*> formats[] = {
            {2, "b"}, {6, "i"}, {11, "u"}, {16, ""}, {19, "bi"}};
        for (const auto& [position, format] : formats) {
            QTextCursor cursor(&doc);
            cursor.setPosition(position);
            const QTextCharFormat f = cursor.charFormat();
            const QString expected = QString::fromLatin1(format);
            QCOMPARE(f.fontWeight() == QFont::Bold, expected.contains('b'));
            QCOMPARE(f.fontItalic(), expected.contains('i'));
            QCOMPARE(f.fontUnderline(), expected.contains('u'));
        }
        auto alignment = [&](int block) {
            return doc.findBlockByNumber(block).blockFormat().alignment() &
                   Qt::AlignHorizontal_Mask;
        };
        QCOMPARE(alignment(1), Qt::AlignHCenter);
        QCOMPARE(alignment(2), Qt::AlignLeft);
    }
};

QTEST_MAIN(QDPreviewTest)
#include "QDPreviewTest.moc"
