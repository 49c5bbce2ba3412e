#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "gui/QueuedCall.h"
#include "shell/UpgradeMessages.h"
#include "shell/cpuConfig.h"

#include <QFileIconProvider>
#include <QLabel>
#include <QProgressBar>
#include <QToolButton>
#include <QtTest>

#include <atomic>
#include <climits>
#include <thread>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

struct Msg {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool posted = false;
    bool operator==(const Msg&) const = default;
};
using Messages = std::vector<Msg>;

class RecordingLink final : public MainWindowLink {
public:
    void send(unsigned m, std::uintptr_t w, std::intptr_t l) override { got.push_back({m, w, l}); }
    void post(unsigned m, std::uintptr_t w, std::intptr_t l) override {
        got.push_back({m, w, l, true});
    }
    Messages got;
};

using Sent = std::vector<std::uint64_t>;

} // namespace

Q_DECLARE_METATYPE(Messages)
Q_DECLARE_METATYPE(Sent)
Q_DECLARE_METATYPE(CardEnd)
Q_DECLARE_METATYPE(Stage)

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

    // Qt's own texts are Chinese like the rest, whatever the machine's language: the open
    // dialog's labels, and a folder's type, which Qt's catalogue lacks.
    void qtTextsInChinese() {
        QVERIFY(QCoreApplication::translate("QFileDialog", "Look in:") != "Look in:");
        QVERIFY(QFileIconProvider().type(QFileInfo(m_dir.path())) != "Folder");
    }

    // Shown at start, only raised by "cpu升级" while open, created anew once closed.
    void panelAtStartRaisedAgainAndRecreated() {
        TForm1 f;
        f.show();
        QPointer<TPeiZhiForm> panel = f.peiZhiForm();
        QVERIFY(panel && panel->isVisible());
        QCOMPARE(panel->parentWidget(), &f);
        f.setStatus(QStringLiteral("x"));
        f.findChild<QToolButton*>(QStringLiteral("btn1"))->click();
        QCOMPARE(f.peiZhiForm(), panel.data());
        QCOMPARE(f.findChildren<TPeiZhiForm*>().size(), 1);
        QCOMPARE(status(f)->text(), QString());

        panel->close();
        QTRY_VERIFY(panel.isNull());
        QVERIFY(!f.peiZhiForm());
        f.btn1Click();
        QVERIFY(f.peiZhiForm() && f.peiZhiForm()->isVisible());
    }

    void messages_data() {
        QTest::addColumn<Messages>("messages");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("barVisible");
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<int>("value");

        const Msg show{WM_CPU_PROGRESS, 1, kProgressVisible};
        const Msg min0{WM_CPU_PROGRESS, 0, kProgressMinimum};
        const Msg max24{WM_CPU_PROGRESS, 24, kProgressMaximum};
        const Msg at24{WM_CPU_PROGRESS, 24, kProgressPosition};
        const QString configuring = t(text::kConfiguring);
        // value -1: not checked
        auto row = [](const char* name, Messages m, const QString& label, bool barVisible,
                      int minimum, int maximum, int value) {
            QTest::newRow(name) << m << label << barVisible << minimum << maximum << value;
        };
        row("position sets the bar and the label",
            {show, min0, max24, {WM_CPU_PROGRESS, 15, kProgressPosition}}, configuring, true, 0, 24,
            15);
        // The whole file is out, but the card has not answered yet.
        row("position at the maximum hides the bar, no success yet", {show, min0, max24, at24},
            configuring, false, 0, 24, 24);
        row("position beyond the maximum is clamped and counts as the end",
            {show, min0, max24, {WM_CPU_PROGRESS, 500, kProgressPosition}}, configuring, false, 0,
            24, 24);
        row("minimum and maximum",
            {{WM_CPU_PROGRESS, 5, kProgressMinimum}, {WM_CPU_PROGRESS, 9, kProgressMaximum}}, {},
            false, 5, 9, -1);
        // Beyond int; where wParam is 64 bits wide, beyond 32 bits too.
        constexpr std::uintptr_t kBeyondInt =
            sizeof(std::uintptr_t) > 4 ? std::uintptr_t{UINT_MAX} + 5 : std::uintptr_t{UINT_MAX};
        row("maximum beyond int does not wrap",
            {min0, {WM_CPU_PROGRESS, kBeyondInt, kProgressMaximum}}, {}, false, 0, INT_MAX, 0);
        row("hide", {show, {WM_CPU_PROGRESS, 0, kProgressVisible}}, {}, false, 0, 100, -1);
        row("lParam 4 with wParam 2 keeps a shown bar",
            {show, {WM_CPU_PROGRESS, 2, kProgressVisible}}, {}, true, 0, 100, -1);
        row("send failed", {{WM_CPU_SEND_FAILED, 0, 0}}, t(text::kSendFailed), false, 0, 100, -1);
        row("no file", {{WM_CPU_NO_FILE, 0, 0}}, t(text::kNoPackage), false, 0, 100, -1);
        row("result 0 after the transfer", {show, min0, max24, at24, {WM_CPU_RESULT, 0, 0}},
            t(text::kConfigOk), false, 0, 24, 24);
        row("result 1 after the transfer", {show, min0, max24, at24, {WM_CPU_RESULT, 1, 0}},
            t(text::kConfigFailed), false, 0, 24, 24);
        row("result 2 does nothing", {{WM_CPU_SEND_FAILED, 0, 0}, {WM_CPU_RESULT, 2, 0}},
            t(text::kSendFailed), false, 0, 100, -1);
    }

    void messages() {
        QFETCH(Messages, messages);
        TForm1 f;
        f.show();
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

    // An upgrade as the window hears it, however it ends: the bar hidden as it begins; shown
    // with the range 0 to the package size + 7 as the transfer begins; position 15 sent
    // after the header command and the transfer's positions posted; then the ending's
    // messages in their order, none after a stop.
    void upgradeMessages_data() {
        QTest::addColumn<std::uint64_t>("total"); // 0: no transfer began
        QTest::addColumn<Sent>("sent");
        QTest::addColumn<CardEnd>("end");
        QTest::addColumn<Stage>("stage");
        QTest::addColumn<Messages>("expected");
        const Msg hide{WM_CPU_PROGRESS, 0, kProgressVisible}, noFile{WM_CPU_NO_FILE, 0, 0},
            failed{WM_CPU_SEND_FAILED, 0, 0}, ok{WM_CPU_RESULT, 0, 0}, notOk{WM_CPU_RESULT, 1, 0};
        const Messages began = {hide,
                                {WM_CPU_PROGRESS, 1, kProgressVisible},
                                {WM_CPU_PROGRESS, 0, kProgressMinimum},
                                {WM_CPU_PROGRESS, 24, kProgressMaximum},
                                {WM_CPU_PROGRESS, 15, kProgressPosition}};
        Messages allOut = began;
        allOut.push_back({WM_CPU_PROGRESS, 24, kProgressPosition, true});
        auto with = [](Messages m, std::initializer_list<Msg> tail) {
            m.insert(m.end(), tail);
            return m;
        };
        auto row = [](const char* name, std::uint64_t total, Sent sent, CardEnd end, Stage stage,
                      const Messages& expected) {
            QTest::newRow(name) << total << sent << end << stage << expected;
        };
        row("package refused", 0, {}, CardEnd::NoPackage, Stage::Package, {hide, noFile});
        row("port not opened", 0, {}, CardEnd::PortFailed, Stage::Opening, {hide, failed});
        row("no acknowledge", 0, {}, CardEnd::NotConfirmed, Stage::Acknowledge,
            {hide, failed, notOk});
        row("data phase refused", 0, {}, CardEnd::PortFailed, Stage::Transfer, {hide, failed});
        row("transfer broke off", 9, {0}, CardEnd::NotConfirmed, Stage::Transfer,
            with(began, {failed, notOk}));
        row("copy unreadable", 9, {0}, CardEnd::NoPackage, Stage::Transfer,
            with(began, {failed, notOk}));
        row("stopped", 9, {0}, CardEnd::Stopped, Stage::Transfer, began);
        row("answer wait refused", 9, {0, 9}, CardEnd::PortFailed, Stage::Answer,
            with(allOut, {failed}));
        row("no answer", 9, {0, 9}, CardEnd::NotConfirmed, Stage::Answer, with(allOut, {notOk}));
        row("confirmed", 9, {0, 9}, CardEnd::Confirmed, Stage::Answer, with(allOut, {ok}));
    }
    void upgradeMessages() {
        QFETCH(std::uint64_t, total);
        QFETCH(Sent, sent);
        QFETCH(CardEnd, end);
        QFETCH(Stage, stage);
        QFETCH(Messages, expected);
        RecordingLink window;
        UpgradeMessages messages(window);
        messages.begun();
        if (total > 0)
            messages.transferBegins(total);
        for (const std::uint64_t s : sent)
            messages.progress(s, total);
        Outcome outcome;
        outcome.end = end;
        outcome.stage = stage;
        messages.finish(outcome);
        QVERIFY(window.got == expected);
    }

    // A second start leaves the first worker alone and keeps the second. Both wait in send()
    // for the GUI thread while the GUI thread waits for them: shutdown must still end both
    // within its budget (a worker it gave up on would not have returned).
    void shutdownEndsTwoWorkersBlockedInSend() {
        TForm1 f;
        f.show();
        std::atomic<int> sending{0};
        std::atomic<int> returned{0};
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider&, std::stop_token st) {
            ++sending;
            while (!st.stop_requested())
                w.send(WM_CPU_PROGRESS, 0, kProgressVisible);
            ++returned;
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle first = f.upgradeWorker();
        sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle second = f.upgradeWorker();
        QVERIFY(first && second && first != second);
        while (sending < 2)
            QThread::yieldCurrentThread();
        QCOMPARE(f.runningUpgrades(), std::size_t{2});
        QVERIFY(!first->finished());
        f.img2Click(); // no event loop runs in between
        QVERIFY(answerQuestion(&f, QMessageBox::Yes));
        QCOMPARE(returned.load(), 2);
        QVERIFY(first->finished() && second->finished());
    }

    // Closing while an upgrade runs asks first, whichever way it is closed: "否" keeps the
    // upgrade going and the window open, "是" stops it and closes. Idle, it closes at once.
    void closingDuringAnUpgradeAsksFirst_data() {
        QTest::addColumn<QString>("via");
        QTest::addColumn<bool>("upgrading");
        QTest::addColumn<int>("answer"); // 0: no question
        QTest::newRow("idle, close image") << "img2" << false << 0;
        QTest::newRow("upgrading, close image, no") << "img2" << true << int(QMessageBox::No);
        QTest::newRow("upgrading, menu, yes") << "N2" << true << int(QMessageBox::Yes);
        QTest::newRow("upgrading, window system, no") << "close" << true << int(QMessageBox::No);
        QTest::newRow("upgrading, window system, yes") << "close" << true << int(QMessageBox::Yes);
    }
    void closingDuringAnUpgradeAsksFirst() {
        QFETCH(QString, via);
        QFETCH(bool, upgrading);
        QFETCH(int, answer);
        TForm1 f;
        f.setUpgradeRoutine([](MainWindowLink&, const SelectionProvider&, std::stop_token st) {
            while (!st.stop_requested())
                QThread::msleep(1);
        });
        f.show();
        if (upgrading)
            sendMessage(&f, WM_CPU_START, 0, 0);
        const WorkerHandle worker = f.upgradeWorker();
        if (via == "img2")
            f.img2Click();
        else if (via == "N2")
            f.N2Click();
        else
            f.close();
        const auto button = answer ? QMessageBox::StandardButton(answer) : QMessageBox::No;
        QCOMPARE(answerQuestion(&f, button), answer != 0);
        const bool closed = answer != QMessageBox::No;
        QCOMPARE(f.isVisible(), !closed);
        if (worker)
            QCOMPARE(worker->finished(), closed);
    }

    // A fast line posts far more positions than the window needs; whatever it folds
    // together, the last one must arrive before the outcome that follows it. send() returns
    // only once the window has handled the message.
    void postedPositionsEndAtTheLastBeforeTheOutcome() {
        TForm1 f;
        f.show();
        TextRecorder statuses;
        connect(&f, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        std::atomic<bool> shown{false};
        std::atomic<bool> shownWhenReturned{false};
        connect(&f, &TForm1::statusChanged, &f,
                [&](const QString& s) { shown = s == t(text::kConfigOk); });
        QList<int> positions;
        connect(bar(f), &QProgressBar::valueChanged, &f, [&](int v) { positions << v; });
        constexpr std::uintptr_t kLast = 200000;
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider&, std::stop_token) {
            QThread::msleep(20); // let the GUI thread get back to its loop first
            w.send(WM_CPU_PROGRESS, 1, kProgressVisible);
            w.send(WM_CPU_PROGRESS, 0, kProgressMinimum);
            w.send(WM_CPU_PROGRESS, kLast, kProgressMaximum);
            for (std::uintptr_t p = 1; p <= kLast; ++p)
                w.post(WM_CPU_PROGRESS, p, kProgressPosition);
            w.send(WM_CPU_RESULT, 0, 0);
            shownWhenReturned = shown.load();
        });
        sendMessage(&f, WM_CPU_START, 0, 0);
        QTRY_VERIFY(f.upgradeWorker()->finished());
        QVERIFY(shownWhenReturned);
        QCoreApplication::processEvents();
        QCOMPARE(positions.last(), int(kLast));
        QVERIFY(std::is_sorted(positions.begin(), positions.end()));
        QCOMPARE(statuses.texts.last(), t(text::kConfigOk));
        QCOMPARE(statuses.texts.count(t(text::kConfigOk)), 1);
        QVERIFY(!bar(f)->isVisible());
    }

    // A worker's queued call runs on the GUI thread while the worker is still running (no
    // join to hide a missing hand-off from ThreadSanitizer), and is dropped, unrun, when
    // its window has gone first.
    void queuedCallsRunOnTheGuiThreadOrNotAtAll() {
        for (const bool contextGone : {false, true}) {
            auto* context = new QObject;
            std::atomic<bool> posted{false};
            std::atomic<bool> release{false};
            std::atomic<int> runs{0};
            QThread* ranOn = nullptr;
            std::thread worker([&, text = std::string("from the worker")] {
                queueCall(context, [&, copy = text] {
                    ranOn = QThread::currentThread();
                    runs += copy == "from the worker";
                });
                // Relaxed, so that only the queued call itself orders the worker's writes
                // before the GUI thread's reads.
                posted.store(true, std::memory_order_relaxed);
                while (!release)
                    std::this_thread::yield();
            });
            while (!posted.load(std::memory_order_relaxed)) // no events handled meanwhile
                std::this_thread::yield();
            if (contextGone)
                delete context;
            QCoreApplication::processEvents();
            QCOMPARE(runs.load(), contextGone ? 0 : 1);
            if (!contextGone) {
                QCOMPARE(ranOn, QThread::currentThread());
                delete context;
            }
            release = true;
            worker.join();
        }
    }

private:
    QTemporaryDir m_dir; // no package here: the panel's box is not under test in this file
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
