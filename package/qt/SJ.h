// The "CPU加密" package tool window, shown inside the main window in service mode.
#pragma once

#include "package/qt/MainStatus.h"
#include "package/qt/OpenDialog.h"

#include <QWidget>

#include <memory>

namespace Ui {
class TSJForm;
}

namespace cpuconfig {

class SJLoadWorker;

class TSJForm : public QWidget {
    Q_OBJECT

public:
    // status: the main window's label and progress bar; it must outlive the window.
    explicit TSJForm(QWidget* parent = nullptr, MainStatus* status = nullptr);
    ~TSJForm() override;

    // "加密": choose an image, then build the package on a worker thread.
    void btn2Click();

    // dlg1, the open dialog in which the image is chosen.
    OpenDialog& dlg1();
    void setOpenDialog(std::unique_ptr<OpenDialog> dialog);

    SJLoadWorker& worker() { return *m_worker; }

private:
    std::unique_ptr<Ui::TSJForm> ui;
    std::unique_ptr<SJLoadWorker> m_worker;
};

} // namespace cpuconfig
