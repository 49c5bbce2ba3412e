// The preview open dialog and its pane, on real widgets offscreen with real files.
#include "preview/QDPreview.h"
#include "preview/RtfReader.h"

#include <QApplication>
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

#include <memory>

#include <stdexcept>
#include <sys/stat.h>

using cpuconfig::TextList;
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
    const int samples = 800;
    QByteArray data(samples * 2, '\0');
    QByteArray wav;
    auto u32 = [&](quint32 v) {
        for (int i = 0; i < 4; ++i) {
            wav.append(char((v >> (8 * i)) & 0xFF));
        }
    };
    auto u16 = [&](quint16 v) {
        wav.append(char(v & 0xFF));
        wav.append(char(v >> 8));
    };
    wav.append("RIFF");
    u32(36 + quint32(data.size()));
    wav.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    wav.append("data");
    u32(quint32(data.size()));
    wav.append(data);
    return wav;
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

private slots:
    void init();
    void cleanup();

    void textsFollowTheLanguage_data();
    void textsFollowTheLanguage();
    void titleFromTitlesWhenNotEmpty_data();
    void titleFromTitlesWhenNotEmpty();
    void executeDropsOldStyleAndReturnsTheChosenFile();
    void versionIgnoresWrites();
    void propertiesToSave_data();
    void propertiesToSave();
    void listWritesFollowTheirRules();
    void paneLayoutOnShow();
    void glyphsAreDrawnAtTheirSizes();

    void currentExtOfTheSelection_data();
    void currentExtOfTheSelection();
    void noPreviewCases_data();
    void noPreviewCases();
    void emptyTextFileLeavesPictureMode();
    void pictureModeUsesScaleGlyphAndHint();
    void textFileShownAndWrapToggles();
    void richTextInATextFileIsFormatted();
    void hugeTextFileShowsItsHeadOnly();
    void deeplyNestedRichTextFallsBackToPlainText();
    void otherFilesShowTheirTypeName_data();
    void otherFilesShowTheirTypeName();
    void customExtensions_data();
    void customExtensions();
    void showPreviewWrittenWhileOpen();
    void showPreviewButtonUpdatesAtOnce();
    void pictureScaling_data();
    void pictureScaling();
    void centredMessageBlankLines();
    void soundPlaysUntilTheNextUpdateOrClose();
    void realSelectionReachesThePane();

    void rtfRoundTripToTheDocument();

    void screenshots();

private:
    void openDialog(std::uint16_t language = 0x0409);
    void select(const QString& path);
    void clickInList(const QString& path);
    QString file(const QString& name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    TQDOpenPreviewDialog* m_dlg = nullptr;
};

void QDPreviewTest::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_dlg = nullptr;
}

void QDPreviewTest::cleanup() {
    delete m_dlg;
    m_dlg = nullptr;
}

void QDPreviewTest::openDialog(std::uint16_t language) {
    m_dlg = new TQDOpenPreviewDialog(nullptr, language);
    m_dlg->setDirectory(m_dir->path());
    m_dlg->resize(760, 420);
    m_dlg->open();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
}

// What the platform dialog reports when the technician clicks a file.
void QDPreviewTest::select(const QString& path) {
    emit m_dlg->currentChanged(path);
}

// As the technician's click does it: the file becomes the current item of the list.
void QDPreviewTest::clickInList(const QString& path) {
    auto* view = m_dlg->findChild<QListView*>(QStringLiteral("listView"));
    QVERIFY(view != nullptr);
    auto* model = qobject_cast<QFileSystemModel*>(view->model());
    QVERIFY(model != nullptr);
    QTRY_VERIFY(model->index(path).isValid());
    view->setCurrentIndex(model->index(path));
}

// --- the dialog ------------------------------------------------------------------------

void QDPreviewTest::textsFollowTheLanguage_data() {
    QTest::addColumn<std::uint16_t>("language");
    QTest::addColumn<QString>("noPreview");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("showHint");
    QTest::addColumn<QString>("keys");
    QTest::newRow("danish") << std::uint16_t(0x0406) << "Ingen visning"
                            << "Prøvevisning:"
                            << "Vis prøve"
                            << "0406/0006";
    QTest::newRow("dutch-belgium") << std::uint16_t(0x0813) << "Geen voorbeeld"
                                   << "Voorbeeld:"
                                   << "Toon Voorbeeld"
                                   << "0813/0013";
    QTest::newRow("swiss-german") << std::uint16_t(0x0807) << "Keine Vorschau"
                                  << "Vorschau:"
                                  << "Vorschau"
                                  << "0807/0007";
    QTest::newRow("french") << std::uint16_t(0x040C) << "Rien de montrer"
                            << "Épreuve:"
                            << "Montrer l'epreuve"
                            << "040C/000C";
    QTest::newRow("chinese") << std::uint16_t(0x0804) << "No preview"
                             << "Preview:"
                             << "Show Preview"
                             << "0804/0004";
}

void QDPreviewTest::textsFollowTheLanguage() {
    QFETCH(std::uint16_t, language);
    QFETCH(QString, noPreview);
    QFETCH(QString, caption);
    QFETCH(QString, showHint);
    QFETCH(QString, keys);
    openDialog(language);
    QCOMPARE(m_dlg->LanguageId() + "/" + m_dlg->PrimaryLanguageId(), keys);
    QCOMPARE(centredMessage(*m_dlg), noPreview);
    QCOMPARE(m_dlg->captionPanel()->text(), caption);
    QCOMPARE(m_dlg->showPreviewButton()->toolTip(), showHint);
}

void QDPreviewTest::titleFromTitlesWhenNotEmpty_data() {
    QTest::addColumn<std::uint16_t>("language");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QString>("title");
    QTest::newRow("default-empty-keeps-caller's")
        << std::uint16_t(0x0804) << QStringList{"Default="} << "选择文件";
    QTest::newRow("localised") << std::uint16_t(0x0407)
                               << QStringList{"Default=Open", "0007=Öffnen"} << "Öffnen";
    QTest::newRow("empty-list") << std::uint16_t(0x0407) << QStringList{} << "选择文件";
}

void QDPreviewTest::titleFromTitlesWhenNotEmpty() {
    QFETCH(std::uint16_t, language);
    QFETCH(QStringList, titles);
    QFETCH(QString, title);
    TQDOpenPreviewDialog dlg(nullptr, language);
    std::vector<std::string> entries;
    for (const auto& t : titles) {
        entries.push_back(t.toStdString());
    }
    dlg.setTitles(TextList(entries));
    dlg.setTitle(QStringLiteral("选择文件"));
    QString shown;
    QTimer::singleShot(0, &dlg, [&] {
        shown = dlg.windowTitle();
        dlg.reject();
    });
    QVERIFY(!dlg.Execute());
    QCOMPARE(shown, title);
}

void QDPreviewTest::executeDropsOldStyleAndReturnsTheChosenFile() {
    writeFile(file("fw.bin"), QByteArray(64, '\x5A'));
    TQDOpenPreviewDialog dlg(nullptr, 0x0409);
    dlg.setOpenOptions(dlg.openOptions() | TQDOpenPreviewDialog::ofOldStyleDialog);
    dlg.setFilter(QStringLiteral("配置文件 (*.bin)"));
    dlg.setInitialDir(m_dir->path());
    QTimer::singleShot(0, &dlg, [&] {
        dlg.selectFile(file("fw.bin"));
        QMetaObject::invokeMethod(&dlg, "accept");
    });
    QVERIFY(dlg.Execute());
    QCOMPARE(QFileInfo(dlg.FileName()).canonicalFilePath(),
             QFileInfo(file("fw.bin")).canonicalFilePath());
    QCOMPARE(dlg.openOptions() & TQDOpenPreviewDialog::ofOldStyleDialog, 0u);
    QVERIFY(dlg.openOptions() & TQDOpenPreviewDialog::ofEnableSizing);
    QCOMPARE(dlg.TemplateName(), QStringLiteral("PREVIEWTEMPLATE"));
    QCOMPARE(dlg.nameFilters(), QStringList{QStringLiteral("配置文件 (*.bin)")});

    // Cancelled: false, and the last chosen file stays.
    QTimer::singleShot(0, &dlg, [&] { dlg.reject(); });
    QVERIFY(!dlg.Execute());
    QVERIFY(dlg.FileName().endsWith(QStringLiteral("fw.bin")));
}

void QDPreviewTest::versionIgnoresWrites() {
    TQDOpenPreviewDialog dlg(nullptr, 0x0409);
    dlg.setVersion(QStringLiteral("9.99"));
    QCOMPARE(dlg.Version(), QStringLiteral("4.50.00.00"));
}

void QDPreviewTest::propertiesToSave_data() {
    QTest::addColumn<int>("change");
    QTest::addColumn<QStringList>("saved");
    const QStringList always{"CustomPreviewExtensions", "Titles", "ShowPreview",
                             "WordWrapAndScale"};
    QTest::newRow("initial") << 0 << always;
    QTest::newRow("scale-hints") << 1 << QStringList{"ScaleHints"} + always;
    QTest::newRow("same-entries-again") << 2 << always;
    QTest::newRow("handler") << 3 << QStringList{"OnPreview"} + always;
    QTest::newRow("captions-and-no-preview")
        << 4 << QStringList{"NoPreviewTexts", "PreviewCaptions"} + always;
    QTest::newRow("booleans-false") << 5 << always;
}

void QDPreviewTest::propertiesToSave() {
    QFETCH(int, change);
    QFETCH(QStringList, saved);
    TQDOpenPreviewDialog dlg(nullptr, 0x0409);
    switch (change) {
    case 1:
        dlg.setScaleHints(TextList{"Default=Fit"});
        break;
    case 2:
        dlg.setWordWrapHints(cpuconfig::defaultWordWrapHints());
        dlg.setShowPreviewButtonHints(cpuconfig::defaultShowPreviewButtonHints());
        break;
    case 3:
        dlg.setOnPreview([](TQDOpenPreviewDialog&, const QString&) {});
        break;
    case 4:
        dlg.setPreviewCaptions(TextList{"Default=Look:"});
        dlg.setNoPreviewTexts(TextList{"Default=Nothing"});
        break;
    case 5:
        dlg.setShowPreview(false);
        dlg.setWordWrapAndScale(false);
        dlg.setVersion(QStringLiteral("1"));
        break;
    default:
        break;
    }
    QCOMPARE(dlg.propertiesToSave(), saved);
}

void QDPreviewTest::listWritesFollowTheirRules() {
    openDialog(0x0407);
    // The show-preview hint and the caption follow their lists at once ...
    m_dlg->setShowPreviewButtonHints(TextList{"Default=Zeigen", "0007=Anzeigen"});
    QCOMPARE(m_dlg->showPreviewButton()->toolTip(), QStringLiteral("Anzeigen"));
    m_dlg->setPreviewCaptions(TextList{"0007=Inhalt:"});
    QCOMPARE(m_dlg->captionPanel()->text(), QStringLiteral("Inhalt:"));
    // ... the wrap/scale hints only at the next update.
    QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Zeilenumbruch"));
    m_dlg->setWordWrapHints(TextList{"0007=Umbrechen"});
    QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Zeilenumbruch"));
    m_dlg->UpdatePreview();
    QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Umbrechen"));
}

void QDPreviewTest::paneLayoutOnShow() {
    openDialog();
    const QRect area = m_dlg->previewArea()->rect();
    const QRect box = m_dlg->previewBox()->geometry();
    const QRect strip = m_dlg->captionPanel()->geometry();
    QCOMPARE(box.left(), 8);
    QCOMPARE(box.top(), 33);
    QCOMPARE(box.right() + 1, area.width() - 8);
    QCOMPARE(box.bottom() + 1, area.height() - 8);
    QCOMPARE(strip, QRect(8, 0, box.width(), 32));
    QCOMPARE(m_dlg->showPreviewButton()->geometry(), QRect(0, 5, 22, 22));
    QCOMPARE(m_dlg->wordWrapButton()->geometry(), QRect(strip.width() - 22, 5, 22, 22));
    QVERIFY(m_dlg->showPreviewButton()->isChecked());
    QVERIFY(m_dlg->wordWrapButton()->isChecked());
    // The pane is at the right of the standard controls.
    const QPoint areaInDialog = m_dlg->previewArea()->mapTo(m_dlg, QPoint(0, 0));
    QVERIFY(areaInDialog.x() > m_dlg->width() / 2);
    QCOMPARE(m_dlg->previewBox()->objectName(), QStringLiteral("PreviewBox"));
    QCOMPARE(m_dlg->previewText()->objectName(), QStringLiteral("FPreviewText"));
    QCOMPARE(m_dlg->previewImage()->objectName(), QStringLiteral("FPreviewImage"));

    // A taller dialog: the pane keeps its margins and the viewer fills the new room.
    m_dlg->resize(m_dlg->width(), m_dlg->height() + 120);
    QTRY_COMPARE(m_dlg->previewBox()->geometry().bottom() + 1, m_dlg->previewArea()->height() - 8);
    QCOMPARE(m_dlg->previewText()->size(), m_dlg->previewBox()->maximumViewportSize());
}

void QDPreviewTest::glyphsAreDrawnAtTheirSizes() {
    TQDOpenPreviewDialog dlg(nullptr, 0x0409); // makes the glyphs available
    QCOMPARE(QImage(":/preview/SHOWPREVIEWBUTTON.png").size(), QSize(16, 16));
    QCOMPARE(QImage(":/preview/WORDWRAPBUTTON.png").size(), QSize(18, 18));
    QCOMPARE(QImage(":/preview/SCALEBUTTON.png").size(), QSize(18, 18));
    QCOMPARE(QImage(":/preview/SCALEBUTTON.png").format(), QImage::Format_Indexed8);
}

// --- the pane --------------------------------------------------------------------------

void QDPreviewTest::currentExtOfTheSelection_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("ext");
    QTest::newRow("upper-case") << "PHOTO.BMP"
                                << "bmp";
    QTest::newRow("no-extension") << "README"
                                  << "";
    QTest::newRow("dot-in-folder") << "fw.v2/image"
                                   << "";
}

void QDPreviewTest::currentExtOfTheSelection() {
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
        QVERIFY(m_dlg->previewImage()->hasPicture());
        QCOMPARE(m_dlg->previewImage()->naturalSize(), QSize(40, 30));
    }
}

void QDPreviewTest::noPreviewCases_data() {
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

void QDPreviewTest::noPreviewCases() {
    QFETCH(QString, name);
    QFETCH(bool, buttonUp);
    QVERIFY(QDir(m_dir->path()).mkpath("sub"));
    writeFile(file("notes.txt"), "some notes");
    writeFile(file("broken.bmp"), "BM this is no bitmap");
    writeFile(file("locked.txt"), "secret");
    // A pipe would block a read for ever; it is no file to preview.
    QVERIFY(::mkfifo(QFile::encodeName(file("pipe.txt")).constData(), 0600) == 0);
    // A bitmap header that claims 30000 x 30000 pixels and brings none.
    QByteArray bmp("BM");
    auto le32 = [&](quint32 v) {
        for (int i = 0; i < 4; ++i) {
            bmp.append(char((v >> (8 * i)) & 0xFF));
        }
    };
    le32(54 + 30000u * 30000u * 3);
    le32(0);
    le32(54);
    le32(40);
    le32(30000);
    le32(30000);
    bmp.append("\x01\x00\x18\x00", 4); // one plane, 24 bits
    le32(0);
    le32(30000u * 30000u * 3);
    le32(2835);
    le32(2835);
    le32(0);
    le32(0);
    writeFile(file("huge.bmp"), bmp);
    QFile::setPermissions(file("locked.txt"), QFileDevice::Permissions{});
    if (name == "locked.txt" && QFile(file("locked.txt")).open(QIODevice::ReadOnly)) {
        QSKIP("running with rights that read any file");
    }
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

void QDPreviewTest::emptyTextFileLeavesPictureMode() {
    writeFile(file("empty.txt"), QByteArray());
    openDialog();
    select(file("empty.txt"));
    QVERIFY(!m_dlg->isTextMode());
    QCOMPARE(m_dlg->viewerLineCount(), 0);
    QVERIFY(!m_dlg->previewImage()->hasPicture());
    QVERIFY(m_dlg->previewText()->isHidden());
    QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Scale to fit"));
    // A blank window-coloured area.
    const QImage shot = m_dlg->previewImage()->grab().toImage();
    const QColor window = m_dlg->previewImage()->palette().color(QPalette::Base);
    QCOMPARE(shot.pixelColor(shot.width() / 2, shot.height() / 2), window);
}

void QDPreviewTest::pictureModeUsesScaleGlyphAndHint() {
    QImage picture(20, 10, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    QVERIFY(picture.save(file("small.png")));
    writeFile(file("a.txt"), "text");
    openDialog();
    select(file("small.png"));
    const QImage scaleIcon = m_dlg->wordWrapButton()->icon().pixmap(18, 18).toImage();
    QCOMPARE(scaleIcon, QIcon(":/preview/SCALEBUTTON.png").pixmap(18, 18).toImage());
    select(file("a.txt"));
    QCOMPARE(m_dlg->wordWrapButton()->icon().pixmap(18, 18).toImage(),
             QIcon(":/preview/WORDWRAPBUTTON.png").pixmap(18, 18).toImage());
    QCOMPARE(m_dlg->wordWrapButton()->toolTip(), QStringLiteral("Word-wrap"));
}

void QDPreviewTest::textFileShownAndWrapToggles() {
    const QByteArray longLine = QByteArray("word ").repeated(400);
    writeFile(file("long.log"), "first\r\n" + longLine + "\r\n");
    openDialog();
    select(file("long.log"));
    QVERIFY(m_dlg->isTextMode());
    QVERIFY(viewerText(*m_dlg).startsWith("first\n"));
    QCOMPARE(m_dlg->previewText()->lineWrapMode(), QTextEdit::WidgetWidth);
    QCOMPARE(m_dlg->previewText()->horizontalScrollBar()->maximum(), 0);
    m_dlg->wordWrapButton()->click();
    QVERIFY(!m_dlg->WordWrapAndScale());
    QCOMPARE(m_dlg->previewText()->lineWrapMode(), QTextEdit::NoWrap);
    QTRY_VERIFY(m_dlg->previewText()->horizontalScrollBar()->maximum() > 0);
    // The choice holds for the next file too.
    select(file("long.log"));
    QCOMPARE(m_dlg->previewText()->lineWrapMode(), QTextEdit::NoWrap);
}

void QDPreviewTest::richTextInATextFileIsFormatted() {
    writeFile(file("fmt.txt"),
              "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}plain {\\b strong}\\par next}");
    openDialog();
    select(file("fmt.txt"));
    QCOMPARE(viewerText(*m_dlg), QStringLiteral("plain strong\nnext"));
    QTextCursor cursor(m_dlg->previewText()->document());
    cursor.setPosition(8); // inside "strong"
    QCOMPARE(cursor.charFormat().fontWeight(), int(QFont::Bold));
    cursor.setPosition(2);
    QCOMPARE(cursor.charFormat().fontWeight(), int(QFont::Normal));
}

void QDPreviewTest::hugeTextFileShowsItsHeadOnly() {
    QByteArray line = QByteArray("0123456789abcdef").repeated(4) + "\n"; // 65 bytes
    writeFile(file("big.log"), line.repeated(3 * 1024 * 1024 / 65));
    openDialog();
    select(file("big.log"));
    const QTextDocument* doc = m_dlg->previewText()->document();
    QCOMPARE(doc->lastBlock().text(), QStringLiteral("Only the first 1 MiB is shown."));
    QVERIFY(doc->characterCount() <= int(cpuconfig::kTextPreviewLimit) + 64);
    QVERIFY(doc->characterCount() > int(cpuconfig::kTextPreviewLimit) - 128);
}

void QDPreviewTest::deeplyNestedRichTextFallsBackToPlainText() {
    writeFile(file("deep.rtf"), "{\\rtf1 " + QByteArray(5000, '{') + "x");
    openDialog();
    select(file("deep.rtf"));
    QVERIFY(m_dlg->isTextMode());
    QVERIFY(viewerText(*m_dlg).startsWith("{\\rtf1 {{{"));
}

void QDPreviewTest::otherFilesShowTheirTypeName_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shown");
    QTest::newRow("bin-unknown-to-the-desktop") << "fw.bin"
                                                << "BIN File";
    QTest::newRow("known-type") << "manual.pdf"
                                << QMimeDatabase().mimeTypeForName("application/pdf").comment();
    QTest::newRow("no-extension-no-name") << "firmware"
                                          << "No preview";
}

void QDPreviewTest::otherFilesShowTheirTypeName() {
    QFETCH(QString, name);
    QFETCH(QString, shown);
    QByteArray image;
    for (int i = 0; i < 4096; ++i) {
        image.append(char((i * 7) & 0xFF));
    }
    writeFile(file(name), image);
    openDialog();
    select(file(name));
    QVERIFY(m_dlg->isTextMode());
    QCOMPARE(centredMessage(*m_dlg), shown);
}

void QDPreviewTest::customExtensions_data() {
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

void QDPreviewTest::customExtensions() {
    QFETCH(QString, name);
    QFETCH(int, handler);
    QFETCH(QString, shown);
    QFETCH(bool, textMode);
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
    QCOMPARE(m_dlg->isTextMode(), textMode);
    if (handler == 3) {
        QCOMPARE(centredMessage(*m_dlg), shown);
    } else {
        QCOMPARE(viewerText(*m_dlg), shown);
    }
    if (handler != 0 && name == "a.txt") {
        QCOMPARE(received, QStringLiteral("txt"));
    }
}

void QDPreviewTest::showPreviewWrittenWhileOpen() {
    writeFile(file("a.txt"), "visible text");
    openDialog();
    select(file("a.txt"));
    m_dlg->setShowPreview(false);
    QVERIFY(!m_dlg->showPreviewButton()->isChecked());
    QCOMPARE(viewerText(*m_dlg), QStringLiteral("visible text"));
    m_dlg->UpdatePreview();
    QCOMPARE(centredMessage(*m_dlg), QStringLiteral("No preview"));
}

void QDPreviewTest::showPreviewButtonUpdatesAtOnce() {
    writeFile(file("a.txt"), "visible text");
    openDialog();
    m_dlg->showPreviewButton()->click();
    select(file("a.txt"));
    QCOMPARE(centredMessage(*m_dlg), QStringLiteral("No preview"));
    m_dlg->showPreviewButton()->click();
    QVERIFY(m_dlg->ShowPreview());
    QCOMPARE(viewerText(*m_dlg), QStringLiteral("visible text"));
}

void QDPreviewTest::pictureScaling_data() {
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<bool>("scale");
    QTest::newRow("large-scaled") << QSize(800, 600) << true;
    QTest::newRow("large-scrolls") << QSize(800, 600) << false;
    QTest::newRow("small-scaled") << QSize(100, 50) << true;
    QTest::newRow("small-natural") << QSize(100, 50) << false;
    QTest::newRow("tall-scaled") << QSize(300, 900) << true;
}

void QDPreviewTest::pictureScaling() {
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
    QCOMPARE(m_dlg->previewImage()->pictureRect(),
             QRect(expected.x, expected.y, expected.width, expected.height));
    const bool larger = picture.width() > client.width() || picture.height() > client.height();
    if (larger && !scale) {
        QCOMPARE(m_dlg->previewImage()->size(), picture);
        QTRY_VERIFY(m_dlg->previewBox()->horizontalScrollBar()->maximum() > 0);
        QVERIFY(m_dlg->previewBox()->verticalScrollBar()->maximum() > 0);
    } else {
        QCOMPARE(m_dlg->previewImage()->size(), client);
        QCOMPARE(m_dlg->previewBox()->horizontalScrollBar()->maximum(), 0);
    }
    if (larger && scale) {
        // Fitted: touches the area on one side, never larger on the other.
        const QRect r = m_dlg->previewImage()->pictureRect();
        QVERIFY(r.width() == client.width() || r.height() == client.height());
        QVERIFY(r.width() <= client.width() && r.height() <= client.height());
    }
}

void QDPreviewTest::centredMessageBlankLines() {
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
    QCOMPARE(m_dlg->viewerLineCount(), n + 1);
}

void QDPreviewTest::soundPlaysUntilTheNextUpdateOrClose() {
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
    bool closed = false;
    connect(m_dlg, &TQDOpenPreviewDialog::closing, this,
            [&] { closed = m_dlg->playingSound().isEmpty(); });
    m_dlg->reject();
    QVERIFY(closed); // stopped before the close notification
}

void QDPreviewTest::realSelectionReachesThePane() {
    writeFile(file("hello.txt"), "hello from disk");
    openDialog();
    int notified = 0;
    connect(m_dlg, &TQDOpenPreviewDialog::selectionChanging, this, [&] {
        ++notified;
        // Raised before the pane updates.
        QVERIFY(viewerText(*m_dlg) != QStringLiteral("hello from disk"));
    });
    clickInList(file("hello.txt"));
    QCOMPARE(viewerText(*m_dlg), QStringLiteral("hello from disk"));
    QCOMPARE(m_dlg->currentPath(), file("hello.txt"));
    QVERIFY(notified > 0);
}

void QDPreviewTest::rtfRoundTripToTheDocument() {
    const auto rtf = cpuconfig::readRtf("{\\rtf1 {\\b Bold}{\\i Ital}\\par\\qc {\\ul Under} x\\par"
                                        "\\pard\\b\\i both}");
    QVERIFY(rtf.ok());
    QTextDocument doc;
    cpuconfig::fillDocument(doc, *rtf, QFont());
    QCOMPARE(doc.blockCount(), 3);
    QCOMPARE(doc.toPlainText(), QStringLiteral("BoldItal\nUnder x\nboth"));
    struct Expect {
        int position;
        bool bold, italic, underline;
    };
    for (const Expect& e : {Expect{2, true, false, false}, Expect{6, false, true, false},
                            Expect{11, false, false, true}, Expect{16, false, false, false},
                            Expect{19, true, true, false}}) {
        QTextCursor cursor(&doc);
        cursor.setPosition(e.position);
        const QTextCharFormat f = cursor.charFormat();
        QCOMPARE(f.fontWeight() == QFont::Bold, e.bold);
        QCOMPARE(f.fontItalic(), e.italic);
        QCOMPARE(f.fontUnderline(), e.underline);
    }
    QCOMPARE(doc.findBlockByNumber(1).blockFormat().alignment() & Qt::AlignHorizontal_Mask,
             Qt::AlignHCenter);
    QCOMPARE(doc.findBlockByNumber(2).blockFormat().alignment() & Qt::AlignHorizontal_Mask,
             Qt::AlignLeft);
}

// Pictures of the dialog for the documentation: written when CPUCONFIG_SCREENSHOTS names
// a folder.
void QDPreviewTest::screenshots() {
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
    QByteArray image;
    for (int i = 0; i < 4096; ++i) {
        image.append(char((i * 7) & 0xFF));
    }
    writeFile(file("fw.bin"), image);

    openDialog(0x0804);
    m_dlg->setWindowTitle(QStringLiteral("选择文件"));
    m_dlg->resize(820, 440);
    QTest::qWait(50);
    for (const auto& [name, shot] :
         {std::pair{"readme.txt", "preview-text.png"},
          std::pair{"panel.bmp", "preview-picture.png"}, std::pair{"fw.bin", "preview-bin.png"}}) {
        clickInList(file(name));
        QCOMPARE(m_dlg->currentPath(), file(name));
        QTest::qWait(100);
        QVERIFY(m_dlg->grab().save(QDir(out).filePath(shot)));
    }
}

QTEST_MAIN(QDPreviewTest)
#include "QDPreviewTest.moc"
