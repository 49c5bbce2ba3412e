// The password dialog that unlocks the service menu.
#pragma once

#include <QDialog>
#include <QPointer>

#include <memory>

namespace Ui {
class TForm2;
}

namespace cpuconfig {

class TForm2 : public QDialog {
    Q_OBJECT

public:
    explicit TForm2(QWidget* parent = nullptr);
    ~TForm2() override;

    // What the main window's "输入密码" does: clear the error text, centre the dialog on
    // the main window and run it modally. The typed text stays from the last time.
    int showFor(QWidget* mainWindow);
    // The first half of showFor, for callers that show the dialog themselves.
    void prepareShow(QWidget* mainWindow);

    void btn1Click(); // OK
    void btn2Click(); // Cancel

protected:
    void showEvent(QShowEvent* event) override;

signals:
    // OK with a non-empty text, before the dialog closes. The receiver stores the text as
    // the entered password and runs the main window's FormShow.
    void confirmed(const QString& password);

private:
    void centreOnMainWindow();

    std::unique_ptr<Ui::TForm2> ui;
    QPointer<QWidget> m_mainWindow;
};

} // namespace cpuconfig
