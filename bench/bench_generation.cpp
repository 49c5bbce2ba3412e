// The package tool's generation seen from the window: time from "加密" to the final status
// text for a large image, how many progress updates reach ProgressBar1, and the longest
// stretch the GUI thread is kept busy meanwhile (a 1 ms timer's longest gap).
//   QT_QPA_PLATFORM=offscreen build/bench/bench_generation [MiB] [runs]
#include "bench/GuiThreadGap.h"
#include "package/qt/OpenDialog.h"
#include "package/qt/SJ.h"
#include "package/qt/SJLoadWorker.h"
#include "shell/Application.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <random>

using namespace cpuconfig;

namespace {

class Chosen final : public OpenDialog {
public:
    explicit Chosen(QString path) : m_path(std::move(path)) {}
    void setTitle(const QString&) override {}
    void setFilter(const QString&) override {}
    void setInitialDir(const QString&) override {}
    bool exec() override { return true; }
    QString fileName() const override { return m_path; }

private:
    QString m_path;
};

class NoStatus final : public MainStatus {
public:
    void setStatusText(const QString&) override {}
    void hideProgressBar() override {}
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    prepareApplication(app);
    const int mib = argc > 1 ? std::max(1, std::atoi(argv[1])) : 64;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("fw.bin"));
    {
        QByteArray bytes(qsizetype(mib) << 20, '\0');
        std::mt19937 gen(1);
        for (char& c : bytes)
            c = char(gen());
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
    }

    NoStatus status;
    for (int run = 0; run < runs; ++run) {
        TSJForm form(nullptr, &status);
        form.worker().setProgramDir(dir.path());
        form.setOpenDialog(std::make_unique<Chosen>(image));
        form.show();
        auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
        int updates = 0;
        QObject::connect(bar, &QProgressBar::valueChanged, [&] { ++updates; });

        GuiThreadGap gap;

        // A loop of its own: quitting the application would close (and so free) the window.
        QEventLoop loop;
        bool ok = false;
        QObject::connect(&form.worker(), &SJLoadWorker::generationFinished, [&](bool result) {
            ok = result;
            loop.quit();
        });
        QElapsedTimer clock;
        clock.start();
        gap.start();
        form.btn2Click();
        loop.exec();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        gap.stop();
        std::printf("%d MiB: %s in %.3f s, %d progress updates, longest GUI gap %.1f ms\n", mib,
                    ok ? "written" : "FAILED", seconds, updates, gap.longestMs());
    }
    return 0;
}
