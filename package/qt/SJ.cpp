#include "package/qt/SJ.h"

#include "package/qt/SJLoadWorker.h"
#include "ui_SJ.h"

namespace cpuconfig {

TSJForm::TSJForm(QWidget* parent, MainStatus* status)
    : QWidget(parent), ui(std::make_unique<Ui::TSJForm>()) {
    ui->setupUi(this);
    // The face colour of buttons wherever the background picture does not reach.
    setAutoFillBackground(true);
    // Closing frees the window; the main window then creates a new one on the next use.
    setAttribute(Qt::WA_DeleteOnClose);
    // On top of the group box's frame, so the build's progress is never covered.
    ui->ProgressBar1->raise();
    ui->ProgressBar1->hide();
    SJLoadControls controls{ui->edt1, ui->edt2, ui->edt3, ui->ProgressBar1, ui->btn2};
    m_worker = std::make_unique<SJLoadWorker>(controls, makeOpenDialog(this), status);
    connect(ui->btn2, &QPushButton::clicked, this, &TSJForm::btn2Click);
}

// The worker goes first: it stops its build before the controls it drives are destroyed.
TSJForm::~TSJForm() {
    m_worker.reset();
}

void TSJForm::btn2Click() {
    m_worker->start();
}

OpenDialog& TSJForm::dlg1() {
    return m_worker->dialog();
}

void TSJForm::setOpenDialog(std::unique_ptr<OpenDialog> dialog) {
    m_worker->setDialog(std::move(dialog));
}

} // namespace cpuconfig
