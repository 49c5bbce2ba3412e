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
#include <QPainter>
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

using cpuconfig::TextList;
using cpuconfig::TQDOpenPreviewDialog;

Q_DECLARE_METATYPE(std::uint16_t)
Q_DECLARE_METATYPE(TextList)
using DialogChange = std::function<void(TQDOpenPreviewDialog&)>;
Q_DECLARE_METATYPE(DialogChange)

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

    // --- the dialog ----------------------------------------------------------------------

    void textsFollowTheLanguage_data() {
        QTest::addColumn<std::uint16_t>("language");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QStringList>("texts"); // no preview, caption, show-preview hint
        auto row = [](const char* name, std::uint16_t id, const char* keys, QStringList texts) {
            QTest::newRow(name) << id << keys << texts;
        };
        row("danish", 0x0406, "0406/0006", {"Ingen visning", "Prøvevisning:", "Vis prøve"});
        row("dutch-belgium", 0x0813, "0813/0013",
            {"Geen voorbeeld", "Voorbeeld:", "Toon Voorbeeld"});
        row("swiss-german", 0x0807, "0807/0007", {"Keine Vorschau", "Vorschau:", "Vorschau"});
        row("french", 0x040C, "040C/000C", {"Rien de montrer", "Épreuve:", "Montrer l'epreuve"});
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

    void titleFromTitlesWhenNotEmpty_data() {
        QTest::addColumn<std::uint16_t>("language");
        QTest::addColumn<TextList>("titles");
        QTest::addColumn<QString>("title");
        QTest::newRow("default-empty-keeps-caller's")
            << std::uint16_t(0x0804) << TextList{"Default="} << "选择文件";
        QTest::newRow("localised")
            << std::uint16_t(0x0407) << TextList{"Default=Open", "0007=Öffnen"} << "Öffnen";
        QTest::newRow("empty-list") << std::uint16_t(0x0407) << TextList{} << "选择文件";
    }
    void titleFromTitlesWhenNotEmpty() {
        QFETCH(std::uint16_t, language);
        QFETCH(TextList, titles);
        TQDOpenPreviewDialog dlg(nullptr, language);
        dlg.setTitles(titles);
        dlg.setTitle(QStringLiteral("选择文件"));
        QString shown;
        QVERIFY(!execute(dlg, [&] {
            shown = dlg.windowTitle();
            dlg.reject();
        }));
        QTEST(shown, "title");
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

    void propertiesToSave_data() {
        QTest::addColumn<DialogChange>("change");
        QTest::addColumn<QStringList>("saved");
        const QStringList always{"CustomPreviewExtensions", "Titles", "ShowPreview",
                                 "WordWrapAndScale"};
        QTest::newRow("initial") << DialogChange([](auto&) {}) << always;
        QTest::newRow("scale-hints")
            << DialogChange([](auto& d) { d.setScaleHints(TextList{"Default=Fit"}); })
            << QStringList{"ScaleHints"} + always;
        QTest::newRow("same-entries-again") << DialogChange([](auto& d) {
            d.setWordWrapHints(cpuconfig::defaultWordWrapHints());
            d.setShowPreviewButtonHints(cpuconfig::defaultShowPreviewButtonHints());
        }) << always;
        QTest::newRow("handler") << DialogChange([](auto& d) {
            d.setOnPreview([](auto&, auto&) {});
        }) << QStringList{"OnPreview"} + always;
        QTest::newRow("captions-and-no-preview") << DialogChange([](auto& d) {
            d.setPreviewCaptions(TextList{"Default=Look:"});
            d.setNoPreviewTexts(TextList{"Default=Nothing"});
        }) << QStringList{"NoPreviewTexts", "PreviewCaptions"} + always;
        QTest::newRow("booleans-false-and-version") << DialogChange([](auto& d) {
            d.setShowPreview(false);
            d.setWordWrapAndScale(false);
            d.setVersion(QStringLiteral("9.99"));
        }) << always;
    }
    void propertiesToSave() {
        QFETCH(DialogChange, change);
        TQDOpenPreviewDialog dlg(nullptr, 0x0409);
        change(dlg);
        QTEST(dlg.propertiesToSave(), "saved");
        QCOMPARE(dlg.Version(), QStringLiteral("4.50.00.00")); // ignores writes
    }

    void listWritesFollowTheirRules() {
        openDialog(0x0407);
        // The show-preview hint and the caption follow their lists at once ...
        m_dlg->setShowPreviewButtonHints(TextList{"Default=Zeigen", "0007=Anzeigen"});
        QCOMPARE(m_dlg->showPreviewButton()->toolTip(), QStringLiteral("Anzeigen"));
        m_dlg->setPreviewCaptions(TextList{"0007=Inhalt:"});
        QCOMPARE(m_dlg->captionPanel()->text(), QStringLiteral("Inhalt:"));
        // ... the wrap/scale hints only at the next update.
        m_dlg->setWordWrapHints(TextList{"0007=Umbrechen"});
        QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Zeilenumbruch"));
        m_dlg->UpdatePreview();
        QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Umbrechen"));
    }

    void paneLayoutOnShow() {
        openDialog();
        const QRect area = m_dlg->previewArea()->rect();
        const QRect box = m_dlg->previewBox()->geometry();
        const QRect strip = m_dlg->captionPanel()->geometry();
        QCOMPARE(box, QRect(QPoint(8, 33), QPoint(area.width() - 9, area.height() - 9)));
        QCOMPARE(strip, QRect(8, 0, box.width(), 32));
        QCOMPARE(m_dlg->showPreviewButton()->geometry(), QRect(0, 5, 22, 22));
        QCOMPARE(m_dlg->wordWrapButton()->geometry(), QRect(strip.width() - 22, 5, 22, 22));
        QVERIFY(m_dlg->showPreviewButton()->isChecked());
        QVERIFY(m_dlg->wordWrapButton()->isChecked());
        // The pane is at the right of the standard controls.
        QVERIFY(m_dlg->previewArea()->mapTo(m_dlg.get(), QPoint(0, 0)).x() > m_dlg->width() / 2);
        QCOMPARE(m_dlg->previewBox()->objectName(), QStringLiteral("PreviewBox"));
        QCOMPARE(m_dlg->previewText()->objectName(), QStringLiteral("FPreviewText"));
        QCOMPARE(m_dlg->previewImage()->objectName(), QStringLiteral("FPreviewImage"));

        // A taller dialog: the pane keeps its margins and the viewer fills the new room.
        m_dlg->resize(m_dlg->width(), m_dlg->height() + 120);
        QTRY_COMPARE(m_dlg->previewBox()->geometry().bottom() + 1,
                     m_dlg->previewArea()->height() - 8);
        QCOMPARE(m_dlg->previewText()->size(), m_dlg->previewBox()->maximumViewportSize());
    }

    // --- the pane ------------------------------------------------------------------------

    void currentExtOfTheSelection_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("ext");
        QTest::newRow("upper-case") << "PHOTO.BMP"
                                    << "bmp";
        QTest::newRow("no-extension") << "README"
                                      << "";
        QTest::newRow("dot-in-folder") << "fw.v2/image"
                                       << "";
    }
    void currentExtOfTheSelection() {
        QFETCH(QString, name);
        QFETCH(QString, ext);
        QVERIFY(QDir(m_dir->path()).mkpath("fw.v2"));
        QImage picture(40, 30, QImage::Format_RGB32);
        picture.fill(Qt::red);
        QVERIFY(picture.save(file("PHOTO.BMP"), "BMP"));
        writeFile(file("README"), "read me");
        writeFile(file("fw.v2/image"), "image");
        openDialog();
        select(file(name));
        QCOMPARE(m_dlg->CurrentExt(), ext);
        if (ext == "bmp") {
            QVERIFY(!m_dlg->isTextMode());
            QCOMPARE(m_dlg->previewImage()->naturalSize(), QSize(40, 30));
        }
    }

    void noPreviewCases_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("buttonUp");
        QTest::newRow("no-selection") << "" << false;
        QTest::newRow("folder") << "sub" << false;
        QTest::newRow("missing") << "gone.txt" << false;
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

    // Picture mode with nothing to show, then back to text: glyph and hint follow the mode.
    void emptyTextFileLeavesPictureMode() {
        writeFile(file("empty.txt"), QByteArray());
        writeFile(file("a.txt"), "text");
        openDialog();
        select(file("empty.txt"));
        QVERIFY(!m_dlg->isTextMode());
        QCOMPARE(m_dlg->viewerLineCount(), 0);
        QVERIFY(!m_dlg->previewImage()->hasPicture());
        QVERIFY(m_dlg->previewText()->isHidden());
        const QImage shot = m_dlg->previewImage()->grab().toImage();
        QCOMPARE(shot.pixelColor(shot.width() / 2, shot.height() / 2),
                 m_dlg->previewImage()->palette().color(QPalette::Base));
        auto glyph = [&] { return m_dlg->wordWrapButton()->icon().pixmap(18, 18).toImage(); };
        QCOMPARE(glyph(), QIcon(":/preview/SCALEBUTTON.png").pixmap(18, 18).toImage());
        QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Scale to fit"));
        select(file("a.txt"));
        QCOMPARE(glyph(), QIcon(":/preview/WORDWRAPBUTTON.png").pixmap(18, 18).toImage());
        QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Word-wrap"));
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

    // Rich text in a .txt file is shown formatted; nesting beyond the guard shows as text.
    void richTextFiles() {
        writeFile(file("fmt.txt"),
                  "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}plain {\\b strong}\\par next}");
        writeFile(file("deep.rtf"), "{\\rtf1 " + QByteArray(5000, '{') + "x");
        openDialog();
        select(file("fmt.txt"));
        QCOMPARE(viewerText(*m_dlg), QStringLiteral("plain strong\nnext"));
        QTextCursor cursor(m_dlg->previewText()->document());
        cursor.setPosition(8); // inside "strong"
        QCOMPARE(cursor.charFormat().fontWeight(), int(QFont::Bold));
        cursor.setPosition(2);
        QCOMPARE(cursor.charFormat().fontWeight(), int(QFont::Normal));
        select(file("deep.rtf"));
        QVERIFY(m_dlg->isTextMode());
        QVERIFY(viewerText(*m_dlg).startsWith("{\\rtf1 {{{"));
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
        QTest::newRow("known-type")
            << "manual.pdf" << QMimeDatabase().mimeTypeForName("application/pdf").comment();
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

    // The button updates at once; the property written while open changes only the button.
    void showPreviewButtonAndProperty() {
        writeFile(file("a.txt"), "visible text");
        openDialog();
        m_dlg->showPreviewButton()->click();
        select(file("a.txt"));
        QCOMPARE(centredMessage(*m_dlg), QStringLiteral("No preview"));
        m_dlg->showPreviewButton()->click();
        QVERIFY(m_dlg->ShowPreview());
        QCOMPARE(viewerText(*m_dlg), QStringLiteral("visible text"));

        m_dlg->setShowPreview(false);
        QVERIFY(!m_dlg->showPreviewButton()->isChecked());
        QCOMPARE(viewerText(*m_dlg), QStringLiteral("visible text"));
        m_dlg->UpdatePreview();
        QCOMPARE(centredMessage(*m_dlg), QStringLiteral("No preview"));
    }

    void pictureScaling_data() {
        QTest::addColumn<QSize>("picture");
        QTest::addColumn<bool>("scale");
        QTest::newRow("large-scaled") << QSize(800, 600) << true;
        QTest::newRow("large-scrolls") << QSize(800, 600) << false;
        QTest::newRow("small-scaled") << QSize(100, 50) << true;
        QTest::newRow("small-natural") << QSize(100, 50) << false;
        QTest::newRow("tall-scaled") << QSize(300, 900) << true;
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

    void centredMessageBlankLines() {
        openDialog();
        m_dlg->UpdatePreview(); // no selection: the no-preview text
        QTextEdit* viewer = m_dlg->previewText();
        const QFont font = viewer->font();
        const int h = font.pointSizeF() > 0
                          ? cpuconfig::fontPixelHeight(font.pointSizeF(), viewer->logicalDpiY())
                          : font.pixelSize();
        const int n = cpuconfig::centeredMessageBlankLines(viewer->height(), h);
        QVERIFY(n > 0);
        QCOMPARE(viewer->document()->blockCount(), n + 1);
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

    // Pictures of the dialog for the documentation: written when CPUCONFIG_SCREENSHOTS
    // names a folder.
    void screenshots() {
        const QString out = qEnvironmentVariable("CPUCONFIG_SCREENSHOTS");
        if (out.isEmpty()) {
            QSKIP("CPUCONFIG_SCREENSHOTS not set");
        }
        QVERIFY(QDir().mkpath(out));
        writeFile(file("readme.txt"),
                  "LED controller firmware\r\n\r\nModel N, card version 2, CPU version 1.7.\r\n"
                  "Copy RQ_CPU.cpu into the program's folder before upgrading.\r\n");
        QImage picture(640, 400, QImage::Format_RGB32);
        {
            QPainter p(&picture);
            QLinearGradient sky(0, 0, 0, 400);
            sky.setColorAt(0, QColor(90, 150, 230));
            sky.setColorAt(1, QColor(220, 235, 255));
            p.fillRect(picture.rect(), sky);
            p.setBrush(QColor(250, 210, 60));
            p.setPen(Qt::NoPen);
            p.drawEllipse(QPoint(480, 110), 50, 50);
            p.setBrush(QColor(60, 140, 70));
            p.drawPolygon(QPolygon({QPoint(0, 400), QPoint(180, 200), QPoint(360, 400)}));
            p.drawPolygon(QPolygon({QPoint(250, 400), QPoint(450, 230), QPoint(640, 400)}));
        }
        QVERIFY(picture.save(file("panel.bmp"), "BMP"));
        writeFile(file("fw.bin"), binaryImage());

        openDialog(0x0804);
        m_dlg->setWindowTitle(QStringLiteral("选择文件"));
        m_dlg->resize(820, 440);
        QTest::qWait(50);
        const std::pair<const char*, const char*> shots[] = {{"readme.txt", "preview-text.png"},
                                                             {"panel.bmp", "preview-picture.png"},
                                                             {"fw.bin", "preview-bin.png"}};
        for (const auto& [name, shot] : shots) {
            clickInList(file(name));
            QCOMPARE(m_dlg->currentPath(), file(name));
            QTest::qWait(100);
            QVERIFY(m_dlg->grab().save(QDir(out).filePath(shot)));
        }
    }
};

QTEST_MAIN(QDPreviewTest)
#include "QDPreviewTest.moc"
