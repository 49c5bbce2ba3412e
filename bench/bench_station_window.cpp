// The station window at work, on the system clock with the default poll (0.5 s) and
// in-process simulated cards on pseudo-terminals:
//  1. 8 cards upgrading at once (64 KiB each on lines that keep time at 115200 baud): the
//     longest stretch the GUI thread is kept from its events, until every tile says done;
//  2. the whole process's CPU while 8 ports wait with no card (4 silent, 4 gone), over 20 s;
//  3. from a card's answer to the question that found it to its tile showing the card
//     (found or already upgrading), for 10 cards switched on one after another.
//   QT_QPA_PLATFORM=offscreen build/bench/bench_station_window [busy|idle|found]
#include "bench/BenchPackage.h"
#include "bench/GuiThreadGap.h"
#include "gui/WindowSupport.h"
#include "package/PackageFormat.h"
#include "shell/Application.h"
#include "sim/Simulator.h"
#include "station/StationWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace cpuconfig;
using Steady = std::chrono::steady_clock;

namespace {

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A simulated card on a port of its own name, served on its own thread; the moment it
// last answered a question for its model.
struct Card {
    std::unique_ptr<Simulator> sim;
    std::string port;
    std::atomic<Steady::rep> answeredAt{0};
    std::jthread thread;

    Card(const std::string& name, bool baudLimit) {
        SimulatorOptions o;
        o.baudLimit = baudLimit;
        o.log = [this](const std::string& line) {
            if (line.rfind("answered the query", 0) == 0)
                answeredAt = Steady::now().time_since_epoch().count();
        };
        auto made = Simulator::create(o);
        if (!made)
            return;
        sim = std::move(*made);
        auto path = sim->registerPort(name);
        port = path ? path->string() : "";
        thread = std::jthread([s = sim.get()](std::stop_token stop) { s->run(stop); });
    }
};

std::vector<std::unique_ptr<Card>> makeCards(int n, const char* what, bool baudLimit) {
    std::vector<std::unique_ptr<Card>> cards;
    for (int i = 0; i < n; ++i)
        cards.push_back(std::make_unique<Card>("bench-sw-" + std::string(what) + "-" +
                                                   std::to_string(::getpid()) + "-" +
                                                   std::to_string(i),
                                               baudLimit));
    return cards;
}

// A station window started on the cards' ports, as a technician ticks them.
std::unique_ptr<TStationForm> startOn(const std::vector<std::unique_ptr<Card>>& cards) {
    auto form = std::make_unique<TStationForm>();
    form->show();
    auto* list = form->findChild<QListWidget*>(QStringLiteral("lstPorts"));
    for (int i = 0; i < list->count(); ++i)
        for (const auto& card : cards)
            if (list->item(i)->data(Qt::UserRole).toString().toStdString() == card->port)
                list->item(i)->setCheckState(Qt::Checked);
    if (!form->start())
        return nullptr;
    return form;
}

void stop(TStationForm& form) {
    QSignalSpy ended(&form, &TStationForm::stationEnded);
    form.stop();
    ended.wait(30000);
}

// Runs the GUI thread's event loop, as the program does, until pred holds (looked at every
// millisecond) or ms have passed; whether it held.
bool waitUntil(const std::function<bool()>& pred, int ms) {
    QEventLoop loop;
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (pred())
            loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    look.start(1);
    if (!pred())
        loop.exec();
    return pred();
}

// The event loop alone for ms, with nothing of the benchmark's own in it.
void idleFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool allTones(const TStationForm& form, const char* tone) {
    return std::all_of(form.tiles().begin(), form.tiles().end(),
                       [&](const StationTile* t) { return t->tone() == QLatin1String(tone); });
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    prepareApplication(app);
    QTemporaryDir dir;
    if (!dir.isValid() ||
        !writeBenchPackage(dir.filePath(QString::fromLatin1(kPackageFileName)), 64 * 1024))
        return 1;
    setProgramDirectory(dir.path());
    const std::string only = argc > 1 ? argv[1] : "";

    // 1. Eight upgrades at once.
    if (only.empty() || only == "busy") {
        auto cards = makeCards(8, "busy", true);
        auto form = startOn(cards);
        if (!form)
            return 1;
        GuiThreadGap gap;
        QElapsedTimer total;
        total.start();
        gap.start();
        waitUntil([&] { return allTones(*form, "remove"); }, 120000);
        gap.stop();
        std::printf("8 cards upgrading at once: all done in %.1f s, longest GUI-thread gap %.2f ms"
                    " (%s)\n",
                    double(total.elapsed()) / 1000.0, gap.longestMs(),
                    qPrintable(form->totalsText()));
        stop(*form);
    }

    // 2. Eight idle ports: 4 silent cards, 4 ports gone.
    if (only.empty() || only == "idle") {
        auto cards = makeCards(8, "idle", false);
        for (auto& card : cards)
            card->sim->setPowered(false);
        auto form = startOn(cards);
        if (!form)
            return 1;
        for (int i = 4; i < 8; ++i)
            cards[std::size_t(i)].reset(); // unplugged: the names are gone
        idleFor(2000);
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        idleFor(20000);
        const double cpu = cpuSeconds() - cpu0;
        std::printf("8 idle ports (4 silent, 4 gone), whole process: %.2f %% of one core "
                    "(%.3f s CPU in %.1f s)\n",
                    100.0 * cpu / (double(wall.elapsed()) / 1000.0), cpu,
                    double(wall.elapsed()) / 1000.0);
        stop(*form);
    }

    // 3. A card's answer to its tile.
    if (only.empty() || only == "found") {
        auto cards = makeCards(1, "found", false);
        Card& card = *cards.front();
        card.sim->setPowered(false);
        auto form = startOn(cards);
        if (!form)
            return 1;
        const StationTile* tile = form->tiles().front();
        std::vector<double> ms;
        for (int i = 0; i < 10; ++i) {
            waitUntil([&] { return tile->tone() == QLatin1String("waiting"); }, 10000);
            // Switched on at a different moment of the station's rhythm each time.
            idleFor(137 * i % 500);
            card.answeredAt = 0;
            card.sim->setPowered(true);
            // The tile is looked at every millisecond.
            Steady::rep shown = 0;
            waitUntil(
                [&] {
                    if (tile->tone() != QLatin1String("waiting") && card.answeredAt != 0 &&
                        shown == 0)
                        shown = Steady::now().time_since_epoch().count();
                    return shown != 0;
                },
                10000);
            ms.push_back(double(shown - card.answeredAt.load()) * 1e3 * Steady::period::num /
                         Steady::period::den);
            waitUntil([&] { return tile->tone() == QLatin1String("remove"); }, 10000);
            card.sim->setPowered(false);
        }
        std::sort(ms.begin(), ms.end());
        std::printf("card answered -> tile shows it (10 cards): mean %.1f ms, median %.1f ms, "
                    "max %.1f ms\n",
                    std::accumulate(ms.begin(), ms.end(), 0.0) / double(ms.size()),
                    (ms[4] + ms[5]) / 2, ms.back());
        stop(*form);
    }
    return 0;
}
