// TQDOpenPreviewDialog: the file-open dialog with a preview pane at the right of its
// standard controls. The pane shows pictures as pictures, text files as text (rich text
// formatted), sounds by their type name while they play, and other files by the type name
// the desktop gives them. All its texts come from per-language text lists.
#pragma once

#include "preview/PreviewRules.h"
#include "preview/TextList.h"
#include "preview/qt/PreviewSound.h"

#include <QFileDialog>
#include <QImage>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QScrollArea;
class QTextDocument;
class QTextEdit;
class QToolButton;

namespace cpuconfig {

struct RtfDocument;

// The picture control of the pane: draws its picture (or, before one is loaded, a blank
// window-coloured area of the size it started with) into a target rectangle.
class PreviewPicture : public QWidget {
    Q_OBJECT
public:
    PreviewPicture(QWidget* parent, QSize blankSize);

    // Loads a picture file; false (nothing changed) when it cannot be decoded.
    bool loadFile(const QString& path);
    void setPicture(const QImage& picture);
    bool hasPicture() const { return !m_picture.isNull(); }
    // The picture's own size; the blank start area's size while no picture is loaded.
    QSize naturalSize() const;
    // Where the picture is drawn, in this control's coordinates.
    QRect pictureRect() const { return m_target; }
    void setPictureRect(const QRect& target);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    QSize m_blankSize;
    QRect m_target;
    QPixmap m_scaled; // m_picture at m_target's size, made when that size changes
};

// Fills a document from rich text: one block per paragraph, bold, italic and underline
// on top of the given base font.
void fillDocument(QTextDocument& document, const RtfDocument& rtf, const QFont& baseFont);

class TQDOpenPreviewDialog : public QFileDialog {
    Q_OBJECT
public:
    // Called with the dialog and the selected file's extension (lower case, no dot) for
    // the extensions in CustomPreviewExtensions. It may fill previewText() or give
    // previewImage() a picture; an exception it throws is swallowed.
    using TPreviewNotify = std::function<void(TQDOpenPreviewDialog& sender, const QString& ext)>;

    // The options of the open dialog that this program uses.
    enum TOpenOption : unsigned {
        ofHideReadOnly = 0x01,
        ofPathMustExist = 0x02,
        ofFileMustExist = 0x04,
        ofAllowMultiSelect = 0x08,
        ofEnableSizing = 0x10,
        ofOldStyleDialog = 0x20, // has no pane to host: removed when the dialog runs
    };
    using TOpenOptions = unsigned;

    // The language comes from the desktop (on Windows, the user's interface language).
    explicit TQDOpenPreviewDialog(QWidget* owner = nullptr);
    // For a fixed language, a 16-bit Windows language identifier such as 0x0406.
    TQDOpenPreviewDialog(QWidget* owner, std::uint16_t languageId);
    ~TQDOpenPreviewDialog() override;

    // What a caller sets before running it.
    void setTitle(const QString& title) { setWindowTitle(title); }
    QString title() const { return windowTitle(); }
    void setFilter(const QString& filter) { setNameFilter(filter); }
    void setInitialDir(const QString& dir) { setDirectory(dir); }
    TOpenOptions openOptions() const { return m_openOptions; }
    void setOpenOptions(TOpenOptions options) { m_openOptions = options; }
    QString TemplateName() const { return m_templateName; }

    // Runs the dialog modally: true when a file was chosen, whose path is then FileName().
    bool Execute();
    QString FileName() const { return m_fileName; }
    // The file selected when the dialog opens.
    void setFileName(const QString& fileName);

    // The published properties.
    const TextList& ShowPreviewButtonHints() const { return m_showPreviewButtonHints; }
    void setShowPreviewButtonHints(const TextList& list);
    const TextList& NoPreviewTexts() const { return m_noPreviewTexts; }
    void setNoPreviewTexts(const TextList& list);
    const TextList& PreviewCaptions() const { return m_previewCaptions; }
    void setPreviewCaptions(const TextList& list);
    const TextList& ScaleHints() const { return m_scaleHints; }
    void setScaleHints(const TextList& list);
    const TextList& WordWrapHints() const { return m_wordWrapHints; }
    void setWordWrapHints(const TextList& list);
    const TPreviewNotify& OnPreview() const { return m_onPreview; }
    void setOnPreview(TPreviewNotify handler) { m_onPreview = std::move(handler); }
    const QStringList& CustomPreviewExtensions() const { return m_customPreviewExtensions; }
    void setCustomPreviewExtensions(const QStringList& extensions);
    const TextList& Titles() const { return m_titles; }
    void setTitles(const TextList& list);
    bool ShowPreview() const { return m_showPreview; }
    void setShowPreview(bool value);
    bool WordWrapAndScale() const { return m_wordWrapAndScale; }
    void setWordWrapAndScale(bool value);
    QString Version() const { return m_version; }
    void setVersion(const QString&) {} // the component's own version: not the caller's to set

    // The properties an owning window writes when it stores this dialog, in their order.
    QStringList propertiesToSave() const;

    // Language and lookup.
    QString LanguageId() const;
    QString PrimaryLanguageId() const;
    QString LocalizedText(const TextList& list) const;
    const std::vector<std::string>& PreviewExtensions() const { return m_previewExtensions; }

    // The pane.
    void UpdatePreview();
    void ShowCenteredMessage(const QString& text);
    void ShowPreviewButtonClick();
    void WordWrapButtonClick();
    QString CurrentExt() const { return m_currentExt; }
    QString currentPath() const { return m_currentPath; }
    bool isTextMode() const { return m_textMode; }
    // Lines the viewer holds: 0 when it shows nothing.
    int viewerLineCount() const;
    // The sound last started and not stopped since; empty when none.
    QUrl playingSound() const { return m_playingSound; }

    QWidget* previewArea() const { return m_area; }
    QScrollArea* previewBox() const { return m_previewBox; }
    QTextEdit* previewText() const { return m_previewText; }
    PreviewPicture* previewImage() const { return m_previewImage; }
    QLabel* captionPanel() const { return m_captionPanel; }
    QToolButton* wordWrapButton() const { return m_wordWrapButton; }
    QToolButton* showPreviewButton() const { return m_showPreviewButton; }

signals:
    // The base dialog's notifications, raised before the pane does its part.
    void showing();
    void selectionChanging();
    void closing();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The close hook: every way out of the dialog passes here.
    void done(int result) override;

private:
    void construct(std::uint16_t languageId);
    void layoutPane();
    void fitDetailColumns();
    void applyGeometry();
    void onCurrentChanged(const QString& path);
    void stopSound();
    bool previewPicture(const QString& path);
    bool previewTextFile(const QString& path);
    void previewSound(const QString& path, bool& handled);
    void setMode(bool textMode);
    QSize clientSize() const;

    QLabel* m_captionPanel = nullptr;
    QScrollArea* m_previewBox = nullptr;
    PreviewPicture* m_previewImage = nullptr;
    TextList m_noPreviewTexts;
    TextList m_previewCaptions;
    TextList m_scaleHints;
    TextList m_wordWrapHints;
    TextList m_showPreviewButtonHints;
    TextList m_titles;
    TPreviewNotify m_onPreview;
    QStringList m_customPreviewExtensions;
    std::vector<std::string> m_previewExtensions;
    std::vector<std::string> m_pictureFormats;
    QTextEdit* m_previewText = nullptr;
    QString m_version;
    LanguageKeys m_languageKeys;
    QToolButton* m_wordWrapButton = nullptr;
    QToolButton* m_showPreviewButton = nullptr;
    bool m_showPreview = true;
    bool m_wordWrapAndScale = true;

    QWidget* m_area = nullptr;       // the room at the right of the standard controls
    QWidget* m_boxContent = nullptr; // what PreviewBox scrolls
    PreviewSound m_sound;
    QUrl m_playingSound;
    TOpenOptions m_openOptions = ofHideReadOnly | ofEnableSizing;
    QString m_templateName;
    QString m_fileName;
    QString m_currentPath;
    QString m_currentExt;
    int m_messageLines = 0;
    bool m_textMode = true;
    bool m_laidOut = false;
};

// The desktop's language as a 16-bit Windows language identifier.
std::uint16_t systemLanguageId();

} // namespace cpuconfig
