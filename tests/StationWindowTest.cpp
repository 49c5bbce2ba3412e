// The station window on real ports: simulated cards on pseudo-terminals (on Windows, the
// card tools/test-windows.sh maps onto a COM port), the real station underneath, the log
// on disk. What is checked is the wiring: the tiles follow the station, a finished card is
// in the log before its tile says so, the totals agree with the log, and a stop, however
// asked for, frees every port. The station's own rules are the engine's tests.
#include "station/StationWindow.h"
#include "GuiTestSupport.h"
#include "link/SerialPort.h"
#include "link/StationLog.h"
#include "shell/cpuConfig.h"
#ifndef _WIN32
#include "LinkTestSupport.h"
#include "sim/Simulator.h"
#include <unistd.h>
#endif

#include <QCheckBox>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <memory>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

constexpr int kWait = 20000; // ms: a generous bound for anything the station does

// The station window over the program's folder, starting on the ports given, polling fast.
struct Bench {
    TStationForm form;
    explicit Bench(const QStringList& ports) {
        form.setOptionsHook([](StationOptions& o) { o.poll = std::chrono::milliseconds(20); });
        form.show();
        auto* list = form.findChild<QListWidget*>("lstPorts");
        for (const QString& port : ports) {
            bool found = false;
            for (int i = 0; i < list->count(); ++i) {
                if (list->item(i)->data(Qt::UserRole).toString() == port) {
                    list->item(i)->setCheckState(Qt::Checked);
                    found = true;
                }
            }
            if (!found)
                qWarning("%s is not in the port list", qPrintable(port));
        }
    }
    ~Bench() {
        if (form.running()) {
            QSignalSpy ended(&form, &TStationForm::stationEnded);
            form.stop();
            ended.wait(kWait);
        }
    }
    bool start() { return form.findChild<QPushButton*>("btnStart")->isEnabled() && form.start(); }
    StationTile* tile(int i) const { return form.tiles().at(std::size_t(i)); }
    QString log() const { return form.findChild<QPlainTextEdit*>("txtLog")->toPlainText(); }
    QString logPath() const { return form.findChild<QLineEdit*>("edtLog")->text(); }
    // Stops as the technician asks for it, and waits for the station to end.
    bool stopBy(bool closing) {
        QSignalSpy ended(&form, &TStationForm::stationEnded);
        if (closing)
            form.close();
        else
            form.findChild<QPushButton*>("btnStop")->click();
        return ended.wait(kWait);
    }
};

// The log's lines of one event, as `cpuctl station --summary` reads them.
QList<QJsonObject> records(const QString& path, const char* event) {
    QFile f(path);
    QList<QJsonObject> found;
    if (!f.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value("event").toString() == QLatin1String(event))
            found << o;
    }
    return found;
}

#ifndef _WIN32
// The card's port among the ports the window lists, under a name of its own.
QString listed(SimCard& card) {
    static int serial = 0;
    auto path = card.sim().registerPort("station-" + std::to_string(::getpid()) + "-" +
                                        std::to_string(++serial));
    return path ? QString::fromStdString(path->string()) : QString();
}
#endif

bool portFree(const QString& port) {
    return static_cast<bool>(platformSerialPorts().open(port.toStdString()));
}

} // namespace

class StationWindowTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString package() const { return m_dir.filePath(QString::fromLatin1(kPackageFileName)); }

private slots:
    void initTestCase() { QVERIFY(useProgramFolder(m_dir)); }

    void init() {
        QVERIFY(writeFile(package(), demoPackage(8 * 1024, 'A')));
        QFile::remove(m_dir.filePath(QString::fromStdString(stationLogName())));
    }

    // What a tile says and its colour, from across the bench: a failed card stays red until
    // it is taken away, a done one says to take it away.
    void tileTones_data() {
        QTest::addColumn<QList<int>>("states"); // one after the other on the same tile
        QTest::addColumn<QString>("tone");
        QTest::addColumn<QString>("text");
        using S = PortState;
        QTest::newRow("waiting") << QList<int>{int(S::Waiting)} << "waiting" << t("等待控制卡");
        QTest::newRow("missing") << QList<int>{int(S::PortMissing)} << "missing" << t("串口不存在");
        QTest::newRow("busy") << QList<int>{int(S::PortBusy)} << "busy" << t("串口被占用");
        QTest::newRow("found") << QList<int>{int(S::CardFound)} << "found" << t("发现控制卡 M1");
        QTest::newRow("upgrading")
            << QList<int>{int(S::CardFound), int(S::Upgrading)} << "upgrading" << t("正在升级 M1");
        QTest::newRow("done, still there")
            << QList<int>{int(S::CardFound), int(S::Done), int(S::StillConnected)} << "remove"
            << t("完成，请取下控制卡");
        QTest::newRow("failed, still there: red")
            << QList<int>{int(S::CardFound), int(S::Failed), int(S::StillConnected)} << "failed"
            << t("失败，请取下控制卡");
        QTest::newRow("failed, then taken away")
            << QList<int>{int(S::Failed), int(S::StillConnected), int(S::Waiting)} << "waiting"
            << t("等待控制卡");
        QTest::newRow("not logged")
            << QList<int>{int(S::NotLogged)} << "failed" << t("日志无法写入，已停止：x");
    }
    void tileTones() {
        QFETCH(QList<int>, states);
        QFETCH(QString, tone);
        QFETCH(QString, text);
        auto log = DurableLog::open(m_dir.filePath("tones.jsonl").toStdString());
        QVERIFY(log);
        StationBoard board({"p"}, *log, [] {});
        StationTile tile("/dev/p", "");
        for (int s : states)
            board.portState(0, PortState(s), PortState(s) == PortState::CardFound ? "M1" : "x");
        tile.showState(board.view().tiles.at(0));
        QCOMPARE(tile.tone(), tone);
        QCOMPARE(tile.stateText(), text);
    }

#ifndef _WIN32
    // Two ports, cards arriving at different times: one is upgraded and left connected (it
    // is not upgraded again), one fails (it refuses the transfer) and stays red until it is
    // taken away. The log holds both, as `cpuctl station --summary` and
    // the window's totals agree; the stop frees both ports.
    void twoPortsCardsComeAndGo() {
        SimCard good(simWith([](SimulatorOptions& o) { o.model = "GOOD-1"; }));
        SimCard bad(simWith([](SimulatorOptions& o) {
            o.model = "BAD-2";
            o.fault = SimFault::Nak;
        }));
        bad.sim().setPowered(false);
        const QStringList ports{listed(good), listed(bad)};
        Bench b(ports);
        // The log beside the package, one file per day.
        QCOMPARE(
            QFileInfo(b.logPath()).absoluteFilePath(),
            QFileInfo(m_dir.filePath(QString::fromStdString(stationLogName()))).absoluteFilePath());
        QVERIFY(b.start());
        QCOMPARE(b.form.tiles().size(), std::size_t(2));
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(0)->tone(), QStringLiteral("remove"), kWait);
        QCOMPARE(b.tile(1)->tone(), QStringLiteral("waiting"));
        QCOMPARE(records(b.logPath(), "card").size(), 1); // on disk before the tile said so

        bad.sim().setPowered(true);
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(1)->stateText(), t("失败，请取下控制卡"), kWait);
        QCOMPARE(b.tile(1)->tone(), QStringLiteral("failed"));
        QTest::qWait(300); // many questions later, both cards are still connected, not redone
        QCOMPARE(good.record().upgradesCompleted, 1);
        QCOMPARE(b.tile(1)->tone(), QStringLiteral("failed"));

        good.sim().setPowered(false);
        bad.sim().setPowered(false);
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(0)->tone(), QStringLiteral("waiting"), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(1)->tone(), QStringLiteral("waiting"), kWait);
        QVERIFY(b.form.totalsText().startsWith(t("完成 1　失败 1　")));
        QVERIFY(b.log().contains(t("GOOD-1  配置cpu文件成功")));
        QVERIFY(b.stopBy(false));
        for (const QString& port : ports)
            QVERIFY(portFree(port));

        const auto cards = records(b.logPath(), "card");
        QCOMPARE(cards.size(), 2);
        QCOMPARE(cards[0].value("model").toString(), QStringLiteral("GOOD-1"));
        QCOMPARE(cards[0].value("outcome").toString(), QStringLiteral("done"));
        QCOMPARE(cards[1].value("outcome").toString(), QStringLiteral("failed"));
        QProcess summary;
        summary.start(QStringLiteral(CPUCONFIG_CPUCTL), {"station", "--summary", b.logPath()});
        QVERIFY(summary.waitForFinished(kWait));
        QVERIFY2(summary.readAllStandardOutput().contains("cards: 1 done, 1 failed"),
                 "cpuctl station --summary disagrees with the window");
    }

    // A broken package written while the station runs is refused, and the window says so;
    // the next card gets the package checked at the start.
    void brokenPackageWhileRunning() {
        SimCard card(simWith([](SimulatorOptions& o) { o.model = "LATE"; }));
        card.sim().setPowered(false);
        Bench b({listed(card)});
        QVERIFY(b.start());
        QByteArray cut = demoPackage(4 * 1024, 'B');
        cut.chop(1); // no end mark
        QVERIFY(writeFile(package(), cut));
        card.sim().setPowered(true);
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(0)->tone(), QStringLiteral("remove"), kWait);
        QVERIFY(b.log().contains(t("新的升级文件被拒绝")));
        QVERIFY(b.form.findChild<QLabel*>("lblPackageNote")->isVisible());
        QCOMPARE(card.record().transfer.size(), std::size_t(8 * 1024 + 8)); // the first one
        QCOMPARE(records(b.logPath(), "package").size(), 1);
    }

    // A card whose line cannot be written is never shown as done: its tile says why, and
    // the station stops with its port free.
    void unwritableLogStopsTheStation() {
        SimCard card(simWith([](SimulatorOptions& o) { o.model = "NOLOG"; }));
        Bench b({listed(card)});
        b.form.findChild<QLineEdit*>("edtLog")->setText(QStringLiteral("/dev/full"));
        QSignalSpy ended(&b.form, &TStationForm::stationEnded);
        QVERIFY(b.start());
        QVERIFY(ended.wait(kWait));
        QCOMPARE(b.tile(0)->tone(), QStringLiteral("failed"));
        QVERIFY(b.tile(0)->stateText().startsWith(t("日志无法写入")));
        QVERIFY(b.form.totalsText().contains(t("完成 0　失败 0")));
        QVERIFY(b.form.totalsText().contains(t("未记入日志 1")));
        QVERIFY(portFree(QString::fromStdString(card.port())));
    }

    // Stopped in the middle of a transfer, by the button or by closing the window: the
    // block in flight ends, the card is logged as failed, the port is free, and a closed
    // window closes once the station has ended.
    void stopDuringTransfer_data() {
        QTest::addColumn<bool>("closing");
        QTest::newRow("stop button") << false;
        QTest::newRow("closing the window") << true;
    }
    void stopDuringTransfer() {
        QFETCH(bool, closing);
        QVERIFY(writeFile(package(), demoPackage(512 * 1024, 'A')));
        SimCard card(simWith([](SimulatorOptions& o) { o.baudLimit = true; }));
        Bench b({listed(card)});
        QVERIFY(b.start());
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(0)->tone(), QStringLiteral("upgrading"), kWait);
        QVERIFY(b.stopBy(closing));
        QCOMPARE(b.form.isVisible(), !closing);
        QVERIFY(portFree(QString::fromStdString(card.port())));
        QCOMPARE(b.tile(0)->tone(), QStringLiteral("failed"));
        const auto cards = records(b.logPath(), "card");
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].value("outcome").toString(), QStringLiteral("failed"));
    }

    // Quitting the program during a transfer: the station stops, its card is logged as cut
    // short, the port is free, and no window is left to keep the program running.
    void quittingTheProgramStopsTheStation() {
        QVERIFY(writeFile(package(), demoPackage(512 * 1024, 'A')));
        SimCard card(simWith([](SimulatorOptions& o) { o.baudLimit = true; }));
        const QString port = listed(card);
        QString logPath;
        {
            TForm1 f;
            f.show();
            f.MyNs4Click();
            QPointer<TStationForm> station = f.stationForm();
            auto* list = station->findChild<QListWidget*>("lstPorts");
            for (int i = 0; i < list->count(); ++i)
                if (list->item(i)->data(Qt::UserRole).toString() == port)
                    list->item(i)->setCheckState(Qt::Checked);
            logPath = station->findChild<QLineEdit*>("edtLog")->text();
            QVERIFY(station->start());
            QTRY_COMPARE_WITH_TIMEOUT(station->tiles().at(0)->tone(), QStringLiteral("upgrading"),
                                      kWait);
            f.img2Click();
            QVERIFY(!station);
            QVERIFY(!f.isVisible());
            const auto windows = QApplication::topLevelWidgets();
            QVERIFY(std::none_of(windows.begin(), windows.end(),
                                 [](const QWidget* w) { return w->isVisible(); }));
        }
        QVERIFY(portFree(port));
        const auto cards = records(logPath, "card");
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].value("reason").toString(), QStringLiteral("stopped"));
    }
#endif

#ifdef CPUCONFIG_TEST_PORT
    // Windows: the card on a COM port from the registry's list, upgraded once, logged, and
    // the port free again after the stop.
    void registryPortUpgradedAndReleased() {
        const QString port = QStringLiteral(CPUCONFIG_TEST_PORT);
        Bench b({port});
        QVERIFY(b.start());
        QCOMPARE(b.form.tiles().size(), std::size_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(b.tile(0)->tone(), QStringLiteral("remove"), kWait);
        QVERIFY(b.stopBy(false));
        QVERIFY(portFree(port));
        const auto cards = records(b.logPath(), "card");
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards[0].value("outcome").toString(), QStringLiteral("done"));
        QCOMPARE(cards[0].value("port").toString(), port);
    }
#endif
};

QTEST_MAIN(StationWindowTest)
#include "StationWindowTest.moc"
