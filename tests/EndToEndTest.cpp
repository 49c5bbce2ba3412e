// The desktop program against a simulated card on a real pseudo-terminal, through the real
// widgets: port list, "更新", "获取型号", the messages, shutdown.
#include "GuiTestSupport.h"
#include "LinkTestSupport.h"
#include "common/Texts.h"
#include "link/SerialPort.h"
#include "link/Simulator.h"
#include "shell/cpuConfig.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <unistd.h>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

// A simulated card serving its line on a thread of its own, listed among the ports.
class ListedCard {
public:
    explicit ListedCard(SimFault fault = SimFault::None, bool baudLimit = false)
        : m_card(simWith([&](SimulatorOptions& o) {
              o.fault = fault;
              o.baudLimit = baudLimit;
              o.model = "LY-A8";
          })) {
        static int serial = 0;
        auto path = m_card.sim().registerPort("gui-e2e-" + std::to_string(::getpid()) + "-" +
                                              std::to_string(++serial));
        if (!path)
            qFatal("simulator: %s", path.error().message.c_str());
        m_path = QString::fromStdString(path->string());
    }
    const QString& path() const { return m_path; }

private:
    SimCard m_card;
    QString m_path;
};

// The main window with its panel set to the card's port; records every status text and
// every bar position.
struct Program {
    TForm1 form;
    TextRecorder statuses;
    QList<int> positions;
    QProgressBar* bar = nullptr;

    explicit Program(const QString& port) {
        QObject::connect(&form, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        form.show();
        bar = form.findChild<QProgressBar*>(QStringLiteral("pb1"));
        QObject::connect(bar, &QProgressBar::valueChanged, &statuses,
                         [this](int v) { positions << v; });
        auto* ports = panelChild<QComboBox>("cbb2");
        const int index = ports->findText(port);
        if (index < 0)
            qFatal("the card's port %s is not listed", qPrintable(port));
        ports->setCurrentIndex(index);
    }
    template <class T> T* panelChild(const char* name) {
        return form.peiZhiForm()->findChild<T*>(QString::fromLatin1(name));
    }
    QString status() const { return statuses.texts.value(statuses.texts.size() - 1); }
};

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

    QString package() const { return m_dir.filePath(QString::fromLatin1(kPackageFileName)); }

private slots:
    void initTestCase() {
        prepareTestApplication();
        QVERIFY(m_dir.isValid());
        TPeiZhiForm::setProgramDirectory(m_dir.path());
    }

    void upgrade_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<bool>("transferDone");
        QTest::newRow("card confirms") << int(SimFault::None) << t(text::kConfigOk) << true;
        // Takes everything and never answers: the bar reaches its end, and yet the label
        // must never have claimed success.
        QTest::newRow("card takes all but never answers")
            << int(SimFault::NoFinal) << t(text::kConfigFailed) << true;
        QTest::newRow("silent card") << int(SimFault::Silent) << t(text::kConfigFailed) << false;
    }

    void upgrade() {
        QFETCH(int, fault);
        QFETCH(bool, transferDone);
        const QByteArray bytes = demoPackage(64 * 1024, 'A');
        QVERIFY(writeFile(package(), bytes));
        ListedCard sim(static_cast<SimFault>(fault));
        Program p(sim.path());

        p.panelChild<QPushButton>("btn2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(p.form.upgradeWorker() && p.form.upgradeWorker()->finished(),
                                 60000);
        QCoreApplication::processEvents(); // the last posted positions
        QTEST(p.status(), "outcome");
        if (transferDone) {
            QCOMPARE(p.bar->maximum(), int(bytes.size()) + 7);
            QCOMPARE(p.positions.value(p.positions.size() - 1), p.bar->maximum());
            QVERIFY(!p.bar->isVisible());
            QCOMPARE(p.statuses.texts.count(t(text::kConfigOk)),
                     QTest::currentDataTag() == QByteArray("card confirms") ? 1 : 0);
            // Every text before the outcome is the progress text.
            for (int i = 1; i + 1 < p.statuses.texts.size(); ++i)
                QCOMPARE(p.statuses.texts[i], t(text::kConfiguring));
        } else {
            QVERIFY(!p.statuses.texts.contains(t(text::kConfigOk)));
            QVERIFY(!p.statuses.texts.contains(t(text::kConfiguring)));
        }
    }

    void queryShowsTheCardsModel() {
        QVERIFY(writeFile(package(), demoPackage(16)));
        ListedCard sim;
        Program p(sim.path());
        p.panelChild<QPushButton>("btn3")->click();
        QTRY_COMPARE_WITH_TIMEOUT(p.status(), t(text::kQueryOk), 20000);
        QCOMPARE(p.panelChild<QLabel>("lbl6")->text(), QStringLiteral("LY-A8"));
    }

    void shutdownDuringAnUpgradeReleasesThePort() {
        // 256 KiB at the line's own speed would take about 25 s.
        QVERIFY(writeFile(package(), demoPackage(256 * 1024, 'A')));
        ListedCard sim(SimFault::None, true);
        Program p(sim.path());
        p.panelChild<QPushButton>("btn2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(!p.positions.isEmpty() && p.positions.last() > 15 + 1024, 20000);
        const WorkerHandle worker = p.form.upgradeWorker();

        QElapsedTimer clock;
        clock.start();
        p.form.img2Click();
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(worker->finished());
        QVERIFY(!p.form.isVisible());

        auto again = platformSerialPorts().open(sim.path().toStdString());
        QVERIFY2(again.ok(), again.ok() ? "" : again.error().message.c_str());
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
