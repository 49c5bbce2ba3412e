// The desktop program's responsiveness: time from process start to the main window's first
// paint, and the longest stretch the GUI thread is busy while a 1 MiB package goes to a
// simulated card. A 1 ms timer runs on the GUI thread; the longest gap between its ticks
// bounds how long the thread was kept from its events.
//   QT_QPA_PLATFORM=offscreen build/bench/bench_gui [runs]
#include "bench/BenchPackage.h"
#include "bench/GuiThreadGap.h"
#include "package/PackageFormat.h"
#include "shell/Application.h"
#include "shell/cpuConfig.h"
#include "sim/Simulator.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace cpuconfig;

namespace {

QElapsedTimer processClock;

class FirstPaint : public QObject {
public:
    qint64 atNs = -1;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint && atNs < 0)
            atNs = processClock.nsecsElapsed();
        return QObject::eventFilter(o, e);
    }
};

} // namespace

int main(int argc, char** argv) {
    processClock.start();
    QApplication app(argc, argv);
    prepareApplication(app);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    QTemporaryDir dir;
    const QString package = dir.filePath(QString::fromLatin1(kPackageFileName));
    if (!dir.isValid() || !writeBenchPackage(package, 1024 * 1024))
        return 1;
    TPeiZhiForm::setProgramDirectory(dir.path());

    // Startup: process start to the first paint of the main window.
    {
        FirstPaint paint;
        TForm1 form;
        form.installEventFilter(&paint);
        form.show();
        QElapsedTimer wait;
        wait.start();
        while (paint.atNs < 0 && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (paint.atNs < 0) {
            std::puts("startup: no paint within 5 s");
            return 1;
        }
        std::printf("startup to first paint: %.1f ms\n", double(paint.atNs) / 1e6);
    }

    // GUI busy time during 1 MiB upgrades.
    for (int run = 0; run < runs; ++run) {
        SimulatorOptions options;
        auto sim = Simulator::create(options);
        if (!sim)
            return 1;
        auto port = (*sim)->registerPort("bench-gui-" + std::to_string(::getpid()));
        if (!port)
            return 1;
        std::jthread card([s = sim->get()](std::stop_token st) { s->run(st); });

        TForm1 form;
        form.show();
        auto* ports = form.peiZhiForm()->findChild<QComboBox*>(QStringLiteral("cbb2"));
        ports->setCurrentIndex(ports->findData(QString::fromStdString(port->string())));

        GuiThreadGap gap;
        QElapsedTimer total;
        total.start();
        gap.start();
        form.peiZhiForm()->findChild<QPushButton*>(QStringLiteral("btn2"))->click();
        while (!(form.upgradeWorker() && form.upgradeWorker()->finished()) &&
               total.elapsed() < 120000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QCoreApplication::processEvents();
        gap.stop();
        const QString status = form.findChild<QLabel*>(QStringLiteral("lbl1"))->text();
        std::printf("run %d: 1 MiB upgrade %.2f s, longest GUI-thread gap %.2f ms, status %s\n",
                    run + 1, double(total.elapsed()) / 1000.0, gap.longestMs(), qPrintable(status));
        card.request_stop();
    }
    return 0;
}
