#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "shell/cpuConfig.h"

#include <QAction>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QToolButton>
#include <QtTest>

#include <atomic>
#include <climits>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

struct Msg {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};
using Messages = std::vector<Msg>;

QString t(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// An upgrade that does nothing but wait to be stopped.
void waitForStop(MainWindowLink&, const SelectionProvider&, std::stop_token stop) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    cv.wait(lock, stop, [] { return false; });
}

} // namespace

Q_DECLARE_METATYPE(Messages)

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    static QLabel* status(TForm1& f) { return f.findChild<QLabel*>(QStringLiteral("lbl1")); }
    static QProgressBar* bar(TForm1& f) {
        return f.findChild<QProgressBar*>(QStringLiteral("pb1"));
    }

private slots:
    void initTestCase() {
        prepareTestApplication();
        TPeiZhiForm::setProgramDirectory(m_dir.path());
    }

    void panelIsShownAtStartAndOnlyRaisedAgain() {
        TForm1 f;
        f.show();
        TPeiZhiForm* panel = f.peiZhiForm();
        QVERIFY(panel);
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->parentWidget(), &f);
        QCOMPARE(panel->pos(), QPoint(220, 195));

        f.setStatus(QStringLiteral("x"));
        f.findChild<QToolButton*>(QStringLiteral("btn1"))->click();
        QCOMPARE(f.peiZhiForm(), panel);
        QCOMPARE(f.findChildren<TPeiZhiForm*>().size(), 1);
        QCOMPARE(status(f)->text(), QString());
        QCOMPARE(panel->pos(), QPoint(220, 195));
    }

    void closedPanelIsCreatedAnew() {
        TForm1 f;
        f.show();
        QPointer<TPeiZhiForm> first = f.peiZhiForm();
        first->close();
        QTRY_VERIFY(first.isNull());
        QVERIFY(!f.peiZhiForm());
        f.btn1Click();
        QVERIFY(f.peiZhiForm());
        QVERIFY(f.peiZhiForm()->isVisible());
    }

    void messages_data() {
        QTest::addColumn<Messages>("messages");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("barVisible");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");

        const Msg show{WM_CPU_PROGRESS, 1, kProgressVisible};
        const Msg hide{WM_CPU_PROGRESS, 0, kProgressVisible};
        const Msg min0{WM_CPU_PROGRESS, 0, kProgressMinimum};
        const Msg max24{WM_CPU_PROGRESS, 24, kProgressMaximum};
        const QString configuring = t(text::kConfiguring);

        QTest::newRow("position sets the bar and the label")
            << Messages{show, min0, max24, {WM_CPU_PROGRESS, 15, kProgressPosition}} << configuring
            << true << 0 << 24 << 15;
        // The whole file is out, but the card has not answered yet.
        QTest::newRow("position at the maximum hides the bar, no success yet")
            << Messages{show, min0, max24, {WM_CPU_PROGRESS, 24, kProgressPosition}} << configuring
            << false << 0 << 24 << 24;
        QTest::newRow("position beyond the maximum is clamped and counts as the end")
            << Messages{show, min0, max24, {WM_CPU_PROGRESS, 500, kProgressPosition}} << configuring
            << false << 0 << 24 << 24;
        QTest::newRow("minimum and maximum") << Messages{{WM_CPU_PROGRESS, 5, kProgressMinimum},
                                                         {WM_CPU_PROGRESS, 9, kProgressMaximum}}
                                             << QString() << false << 5 << 9 << -1;
        QTest::newRow("maximum beyond int does not wrap")
            << Messages{min0, {WM_CPU_PROGRESS, std::uintptr_t{UINT_MAX} + 5, kProgressMaximum}}
            << QString() << false << 0 << INT_MAX << 0;
        QTest::newRow("show") << Messages{show} << QString() << true << 0 << 100 << -1;
        QTest::newRow("hide") << Messages{show, hide} << QString() << false << 0 << 100 << -1;
        QTest::newRow("lParam 4 with wParam 2 keeps a shown bar")
            << Messages{show, {WM_CPU_PROGRESS, 2, kProgressVisible}} << QString() << true << 0
            << 100 << -1;
        QTest::newRow("lParam 4 with wParam 2 keeps a hidden bar")
            << Messages{{WM_CPU_PROGRESS, 2, kProgressVisible}} << QString() << false << 0 << 100
            << -1;
        QTest::newRow("unknown lParam does nothing")
            << Messages{show, {WM_CPU_PROGRESS, 7, 0}, {WM_CPU_PROGRESS, 7, 9}} << QString() << true
            << 0 << 100 << -1;
        QTest::newRow("send failed") << Messages{{WM_CPU_SEND_FAILED, 0, 0}} << t(text::kSendFailed)
                                     << false << 0 << 100 << -1;
        QTest::newRow("no file") << Messages{{WM_CPU_NO_FILE, 0, 0}} << t(text::kNoPackage) << false
                                 << 0 << 100 << -1;
        QTest::newRow("result 0 after the transfer")
            << Messages{show,
                        min0,
                        max24,
                        {WM_CPU_PROGRESS, 24, kProgressPosition},
                        {WM_CPU_RESULT, 0, 0}}
            << t(text::kConfigOk) << false << 0 << 24 << 24;
        QTest::newRow("result 1 after the transfer")
            << Messages{show,
                        min0,
                        max24,
                        {WM_CPU_PROGRESS, 24, kProgressPosition},
                        {WM_CPU_RESULT, 1, 0}}
            << t(text::kConfigFailed) << false << 0 << 24 << 24;
        QTest::newRow("result 2 does nothing")
            << Messages{{WM_CPU_SEND_FAILED, 0, 0}, {WM_CPU_RESULT, 2, 0}} << t(text::kSendFailed)
            << false << 0 << 100 << -1;
    }

    void messages() {
        QFETCH(Messages, messages);
        TForm1 f;
        f.show();
        f.setUpgradeRoutine(waitForStop);
        for (const Msg& m : messages)
            sendMessage(&f, m.message, m.wParam, m.lParam);
        QTEST(status(f)->text(), "label");
        QTEST(bar(f)->isVisible(), "barVisible");
        QTEST(bar(f)->minimum(), "minimum");
        QTEST(bar(f)->maximum(), "maximum");
        QFETCH(int, value);
        if (value >= 0)
            QCOMPARE(bar(f)->value(), value);
        QCOMPARE(f.runningUpgrades(), std::size_t{0});
    }

    void twoStartsRunTwoWorkersAndKeepTheSecond() {
        TForm1 f;
        f.show();
        std::atomic<int> started{0};
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider& s, std::stop_token st) {
            ++started;
            waitForStop(w, s, st);
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle first = f.upgradeWorker();
        sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle second = f.upgradeWorker();
        QVERIFY(first && second && first != second);
        QTRY_COMPARE(started.load(), 2);
        QCOMPARE(f.runningUpgrades(), std::size_t{2});
        QVERIFY(!first->finished()); // the second start leaves the first alone

        f.img2Click();
        QVERIFY(first->finished());
        QVERIFY(second->finished());
        QVERIFY(!f.isVisible());
        QVERIFY(!f.peiZhiForm());
    }

    // The worker waits in send() for the GUI thread while the GUI thread waits for the
    // worker: shutdown must still end within its budget.
    void shutdownEndsAWorkerBlockedInSend() {
        TForm1 f;
        f.show();
        std::atomic<bool> sending{false};
        std::atomic<bool> returned{false};
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider&, std::stop_token st) {
            sending = true;
            while (!st.stop_requested())
                w.send(WM_CPU_PROGRESS, 0, kProgressVisible);
            returned = true;
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle worker = f.upgradeWorker();
        while (!sending)
            QThread::yieldCurrentThread();
        QElapsedTimer clock;
        clock.start();
        f.img2Click(); // no event loop runs in between
        QVERIFY2(clock.elapsed() < 2500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(returned);
        QVERIFY(worker->finished());
    }

    void sendReturnsOnlyAfterTheHandler() {
        TForm1 f;
        f.show();
        std::atomic<bool> handled{false};
        std::atomic<bool> handledWhenReturned{false};
        std::atomic<bool> done{false};
        connect(&f, &TForm1::statusChanged, &f, [&](const QString& s) {
            if (s == t(text::kSendFailed))
                handled = true;
        });
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider&, std::stop_token) {
            QThread::msleep(20); // let the GUI thread get back to its loop first
            w.send(WM_CPU_SEND_FAILED, 0, 0);
            handledWhenReturned = handled.load();
            done = true;
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        QTRY_VERIFY(done.load());
        QVERIFY(handledWhenReturned.load());
    }

    // A fast line posts far more positions than the window needs; whatever it folds
    // together, the last one must arrive before the outcome that follows it.
    void postedPositionsEndAtTheLastBeforeTheOutcome() {
        TForm1 f;
        f.show();
        TextRecorder statuses;
        connect(&f, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        QList<int> positions;
        connect(bar(f), &QProgressBar::valueChanged, &f, [&](int v) { positions << v; });
        constexpr std::uintptr_t kLast = 200000;
        f.setUpgradeRoutine([](MainWindowLink& w, const SelectionProvider&, std::stop_token) {
            w.send(WM_CPU_PROGRESS, 1, kProgressVisible);
            w.send(WM_CPU_PROGRESS, 0, kProgressMinimum);
            w.send(WM_CPU_PROGRESS, kLast, kProgressMaximum);
            for (std::uintptr_t p = 1; p <= kLast; ++p)
                w.post(WM_CPU_PROGRESS, p, kProgressPosition);
            w.send(WM_CPU_RESULT, 0, 0);
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        QTRY_VERIFY(f.upgradeWorker()->finished());
        QCoreApplication::processEvents();
        QCOMPARE(positions.last(), int(kLast));
        QVERIFY(std::is_sorted(positions.begin(), positions.end()));
        QCOMPARE(statuses.texts.last(), t(text::kConfigOk));
        QCOMPARE(statuses.texts.count(t(text::kConfigOk)), 1);
        QVERIFY(!bar(f)->isVisible());
    }

    void menuOpensJustBelowTheMenuButton() {
        TForm1 f;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QWidget* img4 = f.findChild<QWidget*>(QStringLiteral("img4"));
        QTest::mouseClick(img4, Qt::LeftButton, {}, QPoint(5, 5));
        QMenu* menu = f.pm1();
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->pos(), f.mapToGlobal(QPoint(16, 112 + 23 + 1)));
        QStringList items;
        for (QAction* a : menu->actions())
            items << (a->isSeparator() ? QStringLiteral("-") : a->text());
        QCOMPARE(items, (QStringList{t("输入密码"), "-", "-", t("退出")}));
        menu->hide();
    }

    void imagesMinimiseAndClose() {
        TForm1 f;
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QTest::mouseClick(f.findChild<QWidget*>(QStringLiteral("img3")), Qt::LeftButton, {},
                          QPoint(5, 5));
        QVERIFY(f.isMinimized());
        QTest::mouseClick(f.findChild<QWidget*>(QStringLiteral("img2")), Qt::LeftButton, {},
                          QPoint(5, 5));
        QVERIFY(!f.isVisible());
        QVERIFY(!f.peiZhiForm());
    }

    void exitMenuItemShutsDown() {
        TForm1 f;
        f.show();
        f.findChild<QAction*>(QStringLiteral("N2"))->trigger();
        QVERIFY(!f.isVisible());
        QVERIFY(!f.peiZhiForm());
    }

    void centring_data() {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("wide screen") << QSize(1920, 1080) << QPoint(609, 291);
        QTest::newRow("odd difference drops the half") << QSize(1025, 768) << QPoint(161, 135);
        QTest::newRow("narrow screen gives a negative edge") << QSize(640, 480) << QPoint(-31, -9);
        QTest::newRow("towards zero, not down") << QSize(701, 497) << QPoint(0, 0);
    }

    void centring() {
        QFETCH(QSize, screen);
        QTEST(TForm1::centredOrigin(screen, QSize(702, 498)), "origin");
    }

private:
    QTemporaryDir m_dir; // no package here: the panel's box is not under test in this file
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
