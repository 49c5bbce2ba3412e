#include "package/OpenDialog.h"

#include <QFileDialog>
#include <QPointer>

namespace cpuconfig {
namespace {

class FileOpenDialog final : public OpenDialog {
public:
    explicit FileOpenDialog(QWidget* parent) : m_dialog(new QFileDialog(parent)) {
        m_dialog->setOption(QFileDialog::DontUseNativeDialog);
        m_dialog->setFileMode(QFileDialog::ExistingFile);
        m_dialog->setAcceptMode(QFileDialog::AcceptOpen);
    }
    ~FileOpenDialog() override { delete m_dialog.data(); }

    void setTitle(const QString& title) override { m_dialog->setWindowTitle(title); }
    void setFilter(const QString& filter) override { m_dialog->setNameFilter(filter); }
    void setInitialDir(const QString& dir) override { m_dialog->setDirectory(dir); }
    bool exec() override {
        const QPointer<QFileDialog> dialog = m_dialog;
        const int result = dialog->exec();
        // The owner may have gone while the dialog ran; then nothing was chosen.
        return dialog && result == QDialog::Accepted && !dialog->selectedFiles().isEmpty();
    }
    QString fileName() const override {
        const QStringList files = m_dialog ? m_dialog->selectedFiles() : QStringList();
        return files.isEmpty() ? QString() : files.front();
    }

private:
    QPointer<QFileDialog> m_dialog;
};

} // namespace

std::unique_ptr<OpenDialog> makeFileOpenDialog(QWidget* parent) {
    return std::make_unique<FileOpenDialog>(parent);
}

} // namespace cpuconfig
