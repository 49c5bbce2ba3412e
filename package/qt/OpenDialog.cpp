#include "package/qt/OpenDialog.h"

#include "preview/qt/QDPreview.h"

#include <QPointer>

namespace cpuconfig {
namespace {

class PreviewOpenDialog final : public OpenDialog {
public:
    explicit PreviewOpenDialog(QWidget* parent) : m_dialog(new TQDOpenPreviewDialog(parent)) {
        m_dialog->setObjectName(QStringLiteral("dlg1"));
        m_dialog->setTitles(TextList{"Default="});
        m_dialog->setShowPreview(true);
        m_dialog->setWordWrapAndScale(true);
    }
    ~PreviewOpenDialog() override { delete m_dialog.data(); }

    void setTitle(const QString& title) override { m_dialog->setTitle(title); }
    void setFilter(const QString& filter) override { m_dialog->setFilter(filter); }
    void setInitialDir(const QString& dir) override { m_dialog->setInitialDir(dir); }
    bool exec() override { return m_dialog && m_dialog->Execute(); }
    QString fileName() const override { return m_dialog ? m_dialog->FileName() : QString(); }

private:
    QPointer<TQDOpenPreviewDialog> m_dialog; // owned; the parent may take it first
};

} // namespace

std::unique_ptr<OpenDialog> makeOpenDialog(QWidget* parent) {
    return std::make_unique<PreviewOpenDialog>(parent);
}

} // namespace cpuconfig
