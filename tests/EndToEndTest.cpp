// The desktop program against a simulated card on a real pseudo-terminal, through the real
// widgets: port list, "更新", "获取型号", the messages, shutdown.
#include "GuiTestSupport.h"
#include "LinkTestSupport.h"
#include "common/Texts.h"
#include "link/SerialPort.h"
#include "shell/cpuConfig.h"
#include "sim/Simulator.h"

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

// A simulated card listed among the ports on a thread of its own, and the main window with
// its panel set to the card's port, recording every status text.
struct Program {
    SimCard card;
    QString port;
    TForm1 form;
    TextRecorder statuses;
    QProgressBar* bar = form.findChild<QProgressBar*>(QStringLiteral("pb1"));

    explicit Program(SimFault fault = SimFault::None, bool baudLimit = false)
        : card(simWith([&](SimulatorOptions& o) {
              o.fault = fault;
              o.baudLimit = baudLimit;
              o.model = "LY-A8";
          })) {
        static int serial = 0;
        auto path = card.sim().registerPort("gui-e2e-" + std::to_string(::getpid()) + "-" +
                                            std::to_string(++serial));
        if (!path)
            qFatal("simulator: %s", path.error().message.c_str());
        port = QString::fromStdString(path->string());
        QObject::connect(&form, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        form.show();
        auto* ports = panel<QComboBox>("cbb2");
        ports->setCurrentIndex(ports->findData(port));
    }
    template <class T> T* panel(const char* name) {
        return form.peiZhiForm()->findChild<T*>(QString::fromLatin1(name));
    }
    QString status() const { return statuses.texts.value(statuses.texts.size() - 1); }
};

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString package() const { return m_dir.filePath(QString::fromLatin1(kPackageFileName)); }

private slots:
    void initTestCase() { QVERIFY(useProgramFolder(m_dir)); }

    void upgrade_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("card confirms") << int(SimFault::None) << t(text::kConfigOk);
        // Takes everything and never answers: the bar reaches its end, and yet the label
        // must never have claimed success.
        QTest::newRow("card takes all but never answers")
            << int(SimFault::NoFinal) << t(text::kConfigFailed);
    }
    void upgrade() {
        QFETCH(int, fault);
        QFETCH(QString, outcome);
        const QByteArray bytes = demoPackage(64 * 1024, 'A');
        QVERIFY(writeFile(package(), bytes));
        Program p(static_cast<SimFault>(fault));
        p.panel<QPushButton>("btn2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(p.form.upgradeWorker() && p.form.upgradeWorker()->finished(),
                                 60000);
        QCoreApplication::processEvents(); // the last posted positions
        QCOMPARE(p.status(), outcome);
        QCOMPARE(p.bar->maximum(), int(bytes.size()) + 7);
        QCOMPARE(p.bar->value(), p.bar->maximum());
        QVERIFY(!p.bar->isVisible());
        // Every text before the outcome is the progress text.
        const QStringList before = p.statuses.texts.mid(1, p.statuses.texts.size() - 2);
        QCOMPARE(before.count(t(text::kConfiguring)), before.size());
        if (outcome != t(text::kConfigOk))
            return;
        // "获取型号" after it shows the card's model.
        p.panel<QPushButton>("btn3")->click();
        QTRY_COMPARE_WITH_TIMEOUT(p.status(), t(text::kQueryOk), 20000);
        QCOMPARE(p.panel<QLabel>("lbl6")->text(), QStringLiteral("LY-A8"));
    }

    // A package without its end mark is refused as missing: the card hears nothing.
    void brokenPackageIsRefusedBeforeThePort() {
        QByteArray bytes = demoPackage(4096, 'A');
        bytes.chop(1);
        QVERIFY(writeFile(package(), bytes));
        Program p;
        p.panel<QPushButton>("btn2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(p.form.upgradeWorker() && p.form.upgradeWorker()->finished(),
                                 20000);
        QCOMPARE(p.status(), t(text::kNoPackage));
        QVERIFY(p.card.record().lines.empty());
    }

    void shutdownDuringAnUpgradeReleasesThePort() {
        // 256 KiB at the line's own speed would take about 25 s.
        QVERIFY(writeFile(package(), demoPackage(256 * 1024, 'A')));
        Program p(SimFault::None, true);
        p.panel<QPushButton>("btn2")->click();
        QTRY_VERIFY_WITH_TIMEOUT(p.bar->value() > 15 + 1024, 20000);
        const WorkerHandle worker = p.form.upgradeWorker();
        QElapsedTimer clock;
        clock.start();
        p.form.img2Click();
        QVERIFY(answerQuestion(&p.form, QMessageBox::Yes));
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(worker->finished());
        QVERIFY(!p.form.isVisible());
        auto again = platformSerialPorts().open(p.port.toStdString());
        QVERIFY2(again.ok(), again.ok() ? "" : again.error().message.c_str());
    }
};

QTEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
