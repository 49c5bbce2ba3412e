// The generation worker, window side: the open dialog on the GUI thread, then the package
// builder on a worker thread, its progress and texts delivered back to the GUI thread.
#pragma once

#include "package/qt/MainStatus.h"
#include "package/qt/OpenDialog.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <thread>

class QAbstractButton;
class QLineEdit;
class QProgressBar;

namespace cpuconfig {

// The package tool's controls that a generation reads and drives.
struct SJLoadControls {
    QLineEdit* model = nullptr;       // edt1, header byte 0
    QLineEdit* cardVersion = nullptr; // edt2, header byte 7
    QLineEdit* cpuVersion = nullptr;  // edt3, header bytes 1..3
    QProgressBar* progressBar = nullptr;
    QAbstractButton* button = nullptr; // disabled while a generation runs
};

class SJLoadWorker : public QObject {
    Q_OBJECT

public:
    // status may be null (no main window): the texts then go nowhere. It must outlive the
    // worker, as the main window outlives its package tool.
    SJLoadWorker(const SJLoadControls& controls, std::unique_ptr<OpenDialog> dialog,
                 MainStatus* status, QObject* parent = nullptr);
    // Stops a running build and waits for it; the old package is then left as it was.
    ~SJLoadWorker() override;

    // Where the package goes and where the dialog opens: the program's directory unless set.
    void setProgramDir(const QString& dir) { m_programDir = dir; }
    const QString& programDir() const { return m_programDir; }

    OpenDialog& dialog() { return *m_dialog; }
    void setDialog(std::unique_ptr<OpenDialog> dialog);

    // One generation: choose the image, then build on a worker thread and return. Does
    // nothing while a generation is running.
    void start();
    bool running() const { return m_running; }

signals:
    // A build has ended (not emitted when the dialog was cancelled); the status label
    // already shows the final text.
    void generationFinished(bool ok);

private:
    void finish(bool ok);

    SJLoadControls m_controls;
    std::unique_ptr<OpenDialog> m_dialog;
    MainStatus* m_status;
    QString m_programDir;
    bool m_running = false;
    std::jthread m_thread;
};

} // namespace cpuconfig
