#include "preview/qt/QDPreview.h"

#include "common/LanguageId.h"
#include "preview/LanguageId.h"
#include "preview/RtfReader.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QMimeDatabase>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QToolButton>
#include <QToolTip>
#include <QTreeView>

#include <algorithm>

// Outside any namespace, as Qt's resource initialisation requires; the resources live in a
// static library, so nothing would pull them in otherwise.
static void initPreviewResources() {
    Q_INIT_RESOURCE(preview);
}

namespace cpuconfig {

namespace {

constexpr const char* kShowPreviewGlyph = ":/preview/SHOWPREVIEWBUTTON.png";
constexpr const char* kWordWrapGlyph = ":/preview/WORDWRAPBUTTON.png";
constexpr const char* kScaleGlyph = ":/preview/SCALEBUTTON.png";

// The room the pane takes beside the standard controls, in dialog units of the dialog's
// font (a quarter of the average character width across, an eighth of its height down).
constexpr int kAreaWidthDlu = 134;
constexpr int kAreaHeightDlu = 76;

QString fromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

std::string toUtf8(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

// Trims blanks and every control character from both ends.
QString trimmedName(const QString& name) {
    qsizetype start = 0;
    qsizetype end = name.size();
    while (start < end && name.at(start).unicode() <= 0x20) {
        ++start;
    }
    while (end > start && name.at(end - 1).unicode() <= 0x20) {
        --end;
    }
    return name.mid(start, end - start);
}

// The desktop's name for a file's type, judged by its name as the Windows shell does. A
// type the desktop does not know is named after its extension ("BIN File"), as the shell
// names it; a file without extension then has no name.
QString typeName(const QString& path) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (!type.isValid()) {
        return {};
    }
    if (type.isDefault()) {
        const QString suffix = QFileInfo(path).suffix();
        return suffix.isEmpty() ? QString() : suffix.toUpper() + QStringLiteral(" File");
    }
    return type.comment();
}

Qt::Alignment toQt(RtfAlignment alignment) {
    switch (alignment) {
    case RtfAlignment::Centre:
        return Qt::AlignHCenter;
    case RtfAlignment::Right:
        return Qt::AlignRight;
    case RtfAlignment::Justify:
        return Qt::AlignJustify;
    case RtfAlignment::Left:
        break;
    }
    return Qt::AlignLeft;
}

void setUpToggleButton(QToolButton* button, const char* name) {
    button->setObjectName(QString::fromLatin1(name));
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setText(QString());
    button->setFixedSize(kPaneButtonSize, kPaneButtonSize);
}

} // namespace

// ---------------------------------------------------------------------------------------

PreviewPicture::PreviewPicture(QWidget* parent, QSize blankSize)
    : QWidget(parent), m_blankSize(blankSize), m_target(QPoint(0, 0), blankSize) {}

bool PreviewPicture::loadFile(const QString& path) {
    QImageReader reader(path);
    const QImage picture = reader.read();
    if (picture.isNull()) {
        return false;
    }
    setPicture(picture);
    return true;
}

void PreviewPicture::setPicture(const QImage& picture) {
    m_picture = picture;
    m_scaled = QPixmap();
    update();
}

QSize PreviewPicture::naturalSize() const {
    return m_picture.isNull() ? m_blankSize : m_picture.size();
}

void PreviewPicture::setPictureRect(const QRect& target) {
    if (target.size() != m_target.size()) {
        m_scaled = QPixmap();
    }
    m_target = target;
    update();
}

void PreviewPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    if (m_picture.isNull() || m_target.isEmpty()) {
        return;
    }
    if (m_scaled.isNull()) {
        m_scaled = QPixmap::fromImage(m_picture.size() == m_target.size()
                                          ? m_picture
                                          : m_picture.scaled(m_target.size(), Qt::IgnoreAspectRatio,
                                                             Qt::SmoothTransformation));
    }
    painter.drawPixmap(m_target.topLeft(), m_scaled);
}

// ---------------------------------------------------------------------------------------

void fillDocument(QTextDocument& document, const RtfDocument& rtf, const QFont& baseFont) {
    document.clear();
    document.setDefaultFont(baseFont);
    QTextCursor cursor(&document);
    // One edit for the whole document: laid out once, not after every run.
    cursor.beginEditBlock();
    for (std::size_t i = 0; i < rtf.paragraphs.size(); ++i) {
        const auto& paragraph = rtf.paragraphs[i];
        QTextBlockFormat blockFormat;
        blockFormat.setAlignment(toQt(paragraph.alignment));
        if (i == 0) {
            cursor.setBlockFormat(blockFormat);
        } else {
            cursor.insertBlock(blockFormat, QTextCharFormat());
        }
        for (const auto& run : paragraph.runs) {
            QTextCharFormat format;
            format.setFontWeight(run.bold ? QFont::Bold : QFont::Normal);
            format.setFontItalic(run.italic);
            format.setFontUnderline(run.underline);
            cursor.insertText(fromUtf8(run.text), format);
        }
    }
    cursor.endEditBlock();
}

std::uint16_t systemLanguageId() {
#ifdef Q_OS_WIN
    return windowsLanguageId(); // the shell's language, else the system default
#else
    return languageIdOfLocale(toUtf8(QLocale::system().name())).value_or(kFallbackLanguageId);
#endif
}

// ---------------------------------------------------------------------------------------

TQDOpenPreviewDialog::TQDOpenPreviewDialog(QWidget* owner) : QFileDialog(owner) {
    construct(systemLanguageId());
}

TQDOpenPreviewDialog::TQDOpenPreviewDialog(QWidget* owner, std::uint16_t languageId)
    : QFileDialog(owner) {
    construct(languageId);
}

TQDOpenPreviewDialog::~TQDOpenPreviewDialog() {
    stopSound();
}

void TQDOpenPreviewDialog::construct(std::uint16_t languageId) {
    initPreviewResources();
    // Only the platform-neutral dialog can host the pane and report the selection while open.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    setFileMode(QFileDialog::ExistingFile);

    for (const QByteArray& format : QImageReader::supportedImageFormats()) {
        m_pictureFormats.push_back(format.toLower().toStdString());
    }
    m_previewExtensions = previewExtensions(m_pictureFormats);

    m_noPreviewTexts = defaultNoPreviewTexts();
    m_previewCaptions = defaultPreviewCaptions();
    m_scaleHints = defaultScaleHints();
    m_wordWrapHints = defaultWordWrapHints();
    m_showPreviewButtonHints = defaultShowPreviewButtonHints();
    m_titles = TextList{"Default="};
    m_languageKeys = languageKeys(languageId);
    m_version = QStringLiteral("4.50.00.00");

    m_area = new QWidget(this);
    m_area->setObjectName(QStringLiteral("PREVIEWTEMPLATE"));
    const QFontMetrics metrics(font());
    m_area->setFixedWidth(kAreaWidthDlu * metrics.averageCharWidth() / 4);
    m_area->setMinimumHeight(kAreaHeightDlu * metrics.height() / 8);

    m_previewBox = new QScrollArea(m_area);
    m_previewBox->setObjectName(QStringLiteral("PreviewBox"));
    m_previewBox->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    m_previewBox->setLineWidth(1);
    m_previewBox->setWidgetResizable(false);
    m_previewBox->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_boxContent = new QWidget;
    m_boxContent->setObjectName(QStringLiteral("PreviewBoxContent"));
    m_previewBox->setWidget(m_boxContent);

    m_previewText = new QTextEdit(m_boxContent);
    m_previewText->setObjectName(QStringLiteral("FPreviewText"));
    m_previewText->setReadOnly(true);
    m_previewText->setFrameStyle(QFrame::NoFrame);
    m_previewText->setTabChangesFocus(true);
    m_previewText->setUndoRedoEnabled(false);
    m_previewText->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_previewText->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    m_captionPanel = new QLabel(LocalizedText(m_previewCaptions), m_area);
    m_captionPanel->setObjectName(QStringLiteral("CaptionPanel"));
    m_captionPanel->setAlignment(Qt::AlignCenter);
    m_captionPanel->setFrameStyle(QFrame::NoFrame);
    m_captionPanel->setLineWidth(0);

    m_wordWrapButton = new QToolButton(m_captionPanel);
    setUpToggleButton(m_wordWrapButton, "FWordWrapButton");
    m_wordWrapButton->setIconSize(QSize(18, 18));
    connect(m_wordWrapButton, &QToolButton::clicked, this, [this] { WordWrapButtonClick(); });

    m_showPreviewButton = new QToolButton(m_captionPanel);
    setUpToggleButton(m_showPreviewButton, "FShowPreviewButton");
    m_showPreviewButton->setIconSize(QSize(16, 16));
    connect(m_showPreviewButton, &QToolButton::clicked, this, [this] { ShowPreviewButtonClick(); });

    m_showPreview = true;
    m_wordWrapAndScale = true;

    // The pane goes at the right of the standard controls, over all their rows.
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        grid->addWidget(m_area, 0, grid->columnCount(), grid->rowCount(), 1);
    }
    m_area->installEventFilter(this);
    // At Qt's own start size the pane leaves the details list so little room that names
    // show as "C…s"; a caller's own size still wins.
    QSize start = sizeHint().expandedTo(QSize(840, 460));
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        start = start.boundedTo(screen->availableGeometry().size());
    }
    resize(start);
    connect(this, &QFileDialog::currentChanged, this, &TQDOpenPreviewDialog::onCurrentChanged);
    if (auto* model = findChild<QFileSystemModel*>()) {
        connect(model, &QFileSystemModel::directoryLoaded, this,
                &TQDOpenPreviewDialog::fitDetailColumns);
    }
}

// The details list starts with fixed column widths that cut sizes, type names and dates
// short beside the pane ("290…tes", "RTF…ent"). Once a folder is there, the other columns
// take what their texts need and the name column the rest of the view.
void TQDOpenPreviewDialog::fitDetailColumns() {
    auto* view = findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!view || !view->model()) {
        return;
    }
    QHeaderView* header = view->header();
    int others = 0;
    for (int column = 1; column < header->count(); ++column) {
        if (!header->isSectionHidden(column)) {
            view->resizeColumnToContents(column);
            others += header->sectionSize(column);
        }
    }
    const int name = view->viewport()->width() - others;
    header->resizeSection(0, std::max(name, header->sectionSizeHint(0)));
}

void TQDOpenPreviewDialog::setFileName(const QString& fileName) {
    m_fileName = fileName;
    selectFile(fileName);
}

bool TQDOpenPreviewDialog::Execute() {
    // The old-style dialog has no room for the pane.
    m_openOptions &= ~static_cast<TOpenOptions>(ofOldStyleDialog);
    m_templateName = QStringLiteral("PREVIEWTEMPLATE");
    const QString title = LocalizedText(m_titles);
    if (!title.isEmpty()) {
        setWindowTitle(title);
    }
    setFileMode((m_openOptions & ofAllowMultiSelect) != 0 ? QFileDialog::ExistingFiles
                                                          : QFileDialog::ExistingFile);
    if (exec() != QDialog::Accepted) {
        return false;
    }
    const QStringList files = selectedFiles();
    if (files.isEmpty()) {
        return false;
    }
    m_fileName = files.first();
    return true;
}

// --- properties ------------------------------------------------------------------------

void TQDOpenPreviewDialog::setShowPreviewButtonHints(const TextList& list) {
    if (&list != &m_showPreviewButtonHints) {
        m_showPreviewButtonHints = list;
        m_showPreviewButton->setToolTip(LocalizedText(m_showPreviewButtonHints));
    }
}

void TQDOpenPreviewDialog::setNoPreviewTexts(const TextList& list) {
    if (list.text() != m_noPreviewTexts.text()) {
        m_noPreviewTexts = list;
    }
}

void TQDOpenPreviewDialog::setPreviewCaptions(const TextList& list) {
    if (&list != &m_previewCaptions) {
        m_previewCaptions = list;
        m_captionPanel->setText(LocalizedText(m_previewCaptions));
    }
}

void TQDOpenPreviewDialog::setScaleHints(const TextList& list) {
    // The button's hint follows at the next preview update.
    if (list.text() != m_scaleHints.text()) {
        m_scaleHints = list;
    }
}

void TQDOpenPreviewDialog::setWordWrapHints(const TextList& list) {
    if (list.text() != m_wordWrapHints.text()) {
        m_wordWrapHints = list;
    }
}

void TQDOpenPreviewDialog::setCustomPreviewExtensions(const QStringList& extensions) {
    if (extensions.join(QLatin1Char('\n')) != m_customPreviewExtensions.join(QLatin1Char('\n'))) {
        m_customPreviewExtensions = extensions;
    }
}

void TQDOpenPreviewDialog::setTitles(const TextList& list) {
    if (list.text() != m_titles.text()) {
        m_titles = list;
    }
}

void TQDOpenPreviewDialog::setShowPreview(bool value) {
    // Only the button follows; the preview changes at the next update.
    if (value != m_showPreview) {
        m_showPreview = value;
        m_showPreviewButton->setChecked(value);
    }
}

void TQDOpenPreviewDialog::setWordWrapAndScale(bool value) {
    if (value != m_wordWrapAndScale) {
        m_wordWrapAndScale = value;
        m_wordWrapButton->setChecked(value);
    }
}

QStringList TQDOpenPreviewDialog::propertiesToSave() const {
    QStringList names;
    // The message lists are written only when a caller changed them.
    if (m_showPreviewButtonHints.text() != defaultShowPreviewButtonHints().text()) {
        names << QStringLiteral("ShowPreviewButtonHints");
    }
    if (m_noPreviewTexts.text() != defaultNoPreviewTexts().text()) {
        names << QStringLiteral("NoPreviewTexts");
    }
    if (m_previewCaptions.text() != defaultPreviewCaptions().text()) {
        names << QStringLiteral("PreviewCaptions");
    }
    if (m_scaleHints.text() != defaultScaleHints().text()) {
        names << QStringLiteral("ScaleHints");
    }
    if (m_wordWrapHints.text() != defaultWordWrapHints().text()) {
        names << QStringLiteral("WordWrapHints");
    }
    // An unset handler has nothing to write; the rest carry no default and are always
    // written, the Booleans also when True. Version never is.
    if (m_onPreview) {
        names << QStringLiteral("OnPreview");
    }
    names << QStringLiteral("CustomPreviewExtensions") << QStringLiteral("Titles")
          << QStringLiteral("ShowPreview") << QStringLiteral("WordWrapAndScale");
    return names;
}

QString TQDOpenPreviewDialog::LanguageId() const {
    return fromUtf8(m_languageKeys.languageId);
}

QString TQDOpenPreviewDialog::PrimaryLanguageId() const {
    return fromUtf8(m_languageKeys.primaryLanguageId);
}

QString TQDOpenPreviewDialog::LocalizedText(const TextList& list) const {
    return fromUtf8(localizedText(list, m_languageKeys));
}

// --- hooks -----------------------------------------------------------------------------

void TQDOpenPreviewDialog::showEvent(QShowEvent* event) {
    QFileDialog::showEvent(event);
    if (event->spontaneous()) {
        return; // restored from the task bar: nothing new to lay out
    }
    emit showing();
    layoutPane();
    fitDetailColumns();
}

void TQDOpenPreviewDialog::onCurrentChanged(const QString& path) {
    m_currentPath = path;
    emit selectionChanging();
    UpdatePreview();
}

void TQDOpenPreviewDialog::done(int result) {
    QToolTip::hideText();
    stopSound();
    emit closing();
    QFileDialog::done(result);
}

bool TQDOpenPreviewDialog::eventFilter(QObject* watched, QEvent* event) {
    // The dialog can be resized; the pane keeps its rules in the area's new size.
    if (watched == m_area && event->type() == QEvent::Resize && m_laidOut) {
        applyGeometry();
        const QSize client = clientSize();
        m_boxContent->resize(client);
        m_previewText->setGeometry(QRect(QPoint(0, 0), client));
        WordWrapButtonClick();
    }
    return QFileDialog::eventFilter(watched, event);
}

// --- the pane --------------------------------------------------------------------------

QSize TQDOpenPreviewDialog::clientSize() const {
    return m_previewBox->maximumViewportSize();
}

void TQDOpenPreviewDialog::applyGeometry() {
    const QRect client = m_area->rect();
    const PaneGeometry g =
        paneGeometry({client.left(), client.top(), client.left() + client.width(),
                      client.top() + client.height()},
                     client.left());
    m_previewBox->setGeometry(g.previewBox.left, g.previewBox.top, g.previewBox.width(),
                              g.previewBox.height());
    m_captionPanel->setGeometry(g.captionStrip.left, g.captionStrip.top, g.captionStrip.width(),
                                g.captionStrip.height());
    m_wordWrapButton->move(g.wordWrapButtonLeft, g.buttonTop);
    m_showPreviewButton->move(0, g.buttonTop);
}

void TQDOpenPreviewDialog::layoutPane() {
    applyGeometry();
    m_previewBox->raise();
    QPalette boxPalette = m_previewBox->palette();
    boxPalette.setColor(QPalette::Window, boxPalette.color(QPalette::Button));
    m_previewBox->setPalette(boxPalette);
    m_previewBox->viewport()->setAutoFillBackground(true);
    m_previewBox->viewport()->setBackgroundRole(QPalette::Window);
    m_captionPanel->raise();

    m_wordWrapButton->setToolTip(LocalizedText(m_wordWrapHints));
    m_wordWrapButton->setChecked(m_wordWrapAndScale);
    m_showPreviewButton->setIcon(QIcon(QString::fromLatin1(kShowPreviewGlyph)));
    m_showPreviewButton->setToolTip(LocalizedText(m_showPreviewButtonHints));
    m_showPreviewButton->setChecked(m_showPreview);
    m_laidOut = true;
    UpdatePreview();
}

void TQDOpenPreviewDialog::stopSound() {
    m_sound.stop();
    m_playingSound.clear();
}

int TQDOpenPreviewDialog::viewerLineCount() const {
    const QTextDocument* doc = m_previewText->document();
    if (doc->isEmpty() && m_messageLines == 0) {
        return 0;
    }
    return std::max(doc->blockCount(), m_messageLines);
}

void TQDOpenPreviewDialog::UpdatePreview() {
    stopSound();

    // A fresh picture control: a blank window-coloured area of the pane's size.
    const QSize client = clientSize();
    m_boxContent->resize(client);
    delete m_previewImage;
    m_previewImage = new PreviewPicture(m_boxContent, client);
    m_previewImage->setObjectName(QStringLiteral("FPreviewImage"));
    m_previewImage->setGeometry(QRect(QPoint(0, 0), client));
    m_previewImage->show();

    // The viewer, emptied and back to its plain settings.
    m_previewText->setGeometry(QRect(QPoint(0, 0), client));
    m_previewText->clear();
    m_previewText->document()->setDefaultFont(m_previewBox->font());
    m_previewText->setCurrentCharFormat(QTextCharFormat());
    m_previewText->setAlignment(Qt::AlignLeft);
    m_previewText->show();
    m_messageLines = 0;

    m_currentExt = fromUtf8(currentExt(toUtf8(m_currentPath)));
    bool handled = false;
    const QFileInfo info(m_currentPath);
    if (!m_currentPath.isEmpty() && info.isFile() && m_showPreviewButton->isChecked()) {
        const bool custom =
            m_customPreviewExtensions.contains(m_currentExt, Qt::CaseInsensitive) && m_onPreview;
        if (custom) {
            try {
                m_onPreview(*this, m_currentExt);
                handled = true;
            } catch (...) {
                // A handler's failure leaves the file unpreviewed, nothing more.
            }
        } else if (containsExtension(m_previewExtensions, toUtf8(m_currentExt))) {
            switch (builtInKind(toUtf8(m_currentExt), m_pictureFormats)) {
            case BuiltInKind::Picture:
                handled = previewPicture(m_currentPath);
                break;
            case BuiltInKind::Text:
                handled = previewTextFile(m_currentPath);
                break;
            case BuiltInKind::Sound:
                previewSound(m_currentPath, handled);
                break;
            case BuiltInKind::None:
                break;
            }
        } else {
            const QString name = trimmedName(typeName(m_currentPath));
            if (!name.isEmpty()) {
                ShowCenteredMessage(name);
                handled = true;
            }
        }
    }
    if (!handled) {
        ShowCenteredMessage(LocalizedText(m_noPreviewTexts));
    }

    setMode(viewerLineCount() > 0);
    WordWrapButtonClick();
    m_previewBox->repaint();
    m_captionPanel->setText(LocalizedText(m_previewCaptions));
    m_captionPanel->repaint();
}

bool TQDOpenPreviewDialog::previewPicture(const QString& path) {
    try {
        return m_previewImage->loadFile(path);
    } catch (...) {
        return false;
    }
}

bool TQDOpenPreviewDialog::previewTextFile(const QString& path) {
    try {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        // Only the head of a large file: a whole log of gigabytes would freeze the dialog.
        QByteArray bytes = file.read(qint64(kTextPreviewLimit) + 1);
        if (file.error() != QFileDevice::NoError) {
            return false;
        }
        bool cut = std::size_t(bytes.size()) > kTextPreviewLimit;
        if (cut) {
            bytes.truncate(qsizetype(kTextPreviewLimit));
        }
        const std::string_view head(bytes.constData(), std::size_t(bytes.size()));
        bool shown = false;
        if (looksLikeRtf(head)) {
            // Only the beginning of a long document: building and laying out all of it
            // would keep the dialog busy for seconds.
            if (auto rtf = readRtf(head, kRichTextShownLimit); rtf.ok()) {
                fillDocument(*m_previewText->document(), *rtf, m_previewBox->font());
                shown = true;
                cut = cut || rtf->cut;
            }
        }
        // One edit for text and note: the viewer lays the document out once.
        QTextCursor cursor(m_previewText->document());
        cursor.beginEditBlock();
        if (!shown) {
            cursor.insertText(fromUtf8(decodeTextFile(head, cut)));
        }
        if (cut) {
            cursor.movePosition(QTextCursor::End);
            QTextCharFormat note;
            note.setFontItalic(true);
            cursor.insertBlock(QTextBlockFormat(), note);
            const TextList notes = shown ? defaultDocumentCutNotes() : defaultTruncatedNotes();
            cursor.insertText(fromUtf8(localizedText(notes, m_languageKeys)), note);
        }
        cursor.endEditBlock();
        return true;
    } catch (...) {
        return false;
    }
}

void TQDOpenPreviewDialog::previewSound(const QString& path, bool& handled) {
    // Unlike other types, a sound's name is shown as the desktop gives it, blanks and all.
    const QString name = typeName(path);
    if (name.isNull()) {
        return;
    }
    ShowCenteredMessage(name);
    handled = true;
    try {
        m_sound.play(path);
        m_playingSound = QUrl::fromLocalFile(path);
    } catch (...) {
        // Without sound the type name stays shown.
    }
}

void TQDOpenPreviewDialog::ShowCenteredMessage(const QString& text) {
    m_previewText->setLineWrapMode(QTextEdit::WidgetWidth);
    const QFont viewerFont = m_previewText->font();
    const int fontHeight =
        viewerFont.pointSizeF() > 0
            ? fontPixelHeight(viewerFont.pointSizeF(), m_previewText->logicalDpiY())
            : viewerFont.pixelSize();
    const int blankLines = centeredMessageBlankLines(m_previewText->height(), fontHeight);

    QTextCursor cursor(m_previewText->document());
    cursor.movePosition(QTextCursor::End);
    QTextBlockFormat centred;
    centred.setAlignment(Qt::AlignHCenter);
    bool firstLine = viewerLineCount() == 0;
    for (int i = 0; i <= blankLines; ++i) {
        if (firstLine) {
            cursor.setBlockFormat(centred);
            firstLine = false;
        } else {
            cursor.insertBlock(centred);
        }
    }
    cursor.insertText(text);
    m_messageLines += blankLines + 1;
}

void TQDOpenPreviewDialog::setMode(bool textMode) {
    m_textMode = textMode;
    if (textMode) {
        m_previewText->show();
        m_previewText->raise();
        m_previewImage->hide();
        m_wordWrapButton->setToolTip(LocalizedText(m_wordWrapHints));
        m_wordWrapButton->setIcon(QIcon(QString::fromLatin1(kWordWrapGlyph)));
    } else {
        m_previewImage->show();
        m_previewImage->raise();
        m_previewText->hide();
        m_wordWrapButton->setToolTip(LocalizedText(m_scaleHints));
        m_wordWrapButton->setIcon(QIcon(QString::fromLatin1(kScaleGlyph)));
    }
}

void TQDOpenPreviewDialog::ShowPreviewButtonClick() {
    m_showPreview = m_showPreviewButton->isChecked();
    UpdatePreview();
}

void TQDOpenPreviewDialog::WordWrapButtonClick() {
    m_wordWrapAndScale = m_wordWrapButton->isChecked();
    if (m_previewImage != nullptr && !m_previewImage->isHidden()) {
        const QSize client = clientSize();
        m_boxContent->resize(client);
        m_previewImage->setGeometry(QRect(QPoint(0, 0), client));
        const QSize natural = m_previewImage->naturalSize();
        const PicturePlacement place =
            placePicture({natural.width(), natural.height()}, {client.width(), client.height()},
                         m_wordWrapAndScale);
        if (place.controlTakesPictureSize) {
            // The control grows to the picture; the box scrolls over it.
            m_previewImage->resize(natural);
            m_boxContent->resize(natural);
        }
        m_previewImage->setPictureRect(QRect(place.x, place.y, place.width, place.height));
        m_previewImage->repaint();
    } else {
        m_previewText->setLineWrapMode(m_wordWrapAndScale ? QTextEdit::WidgetWidth
                                                          : QTextEdit::NoWrap);
        m_previewText->repaint();
    }
}

} // namespace cpuconfig
