#include "shell/passdlg.h"

#include "common/Texts.h"
#include "ui_passdlg.h"

namespace cpuconfig {

TForm2::TForm2(QWidget* parent) : QDialog(parent), ui(std::make_unique<Ui::TForm2>()) {
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // Enter in the edit is OK; no button is a default button, so Enter acts only once.
    connect(ui->edt1, &QLineEdit::returnPressed, this, &TForm2::btn1Click);
    connect(ui->btn1, &QPushButton::clicked, this, &TForm2::btn1Click);
    connect(ui->btn2, &QPushButton::clicked, this, &TForm2::btn2Click);
}

TForm2::~TForm2() = default;

void TForm2::prepareShow(QWidget* mainWindow) {
    ui->lbl2->clear();
    m_mainWindow = mainWindow;
    centreOnMainWindow();
    ui->edt1->setFocus();
}

void TForm2::centreOnMainWindow() {
    if (m_mainWindow) {
        QRect mine = frameGeometry();
        mine.moveCenter(m_mainWindow->frameGeometry().center());
        move(mine.topLeft());
    }
}

void TForm2::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The frame is known only now; centre again so the first showing is centred too.
    centreOnMainWindow();
}

int TForm2::showFor(QWidget* mainWindow) {
    prepareShow(mainWindow);
    return exec();
}

void TForm2::btn1Click() {
    const QString typed = ui->edt1->text();
    if (typed.isEmpty()) {
        ui->lbl2->setText(QString::fromUtf8(text::kPasswordEmpty));
        return;
    }
    emit confirmed(typed);
    accept();
}

void TForm2::btn2Click() {
    reject();
}

} // namespace cpuconfig
