#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "panel/PeiZhi.h"
#include "panel/PortComboBox.h"
#include "shell/cpuConfig.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <mutex>

#ifndef _WIN32
#include "sim/Simulator.h"
#endif

using namespace cpuconfig;
using namespace cpuconfig::test;

class PanelTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    template <class T> static T* child(QWidget* w, const char* name) {
        return w->findChild<T*>(QString::fromLatin1(name));
    }
    // Model, CPU version and date as the panel shows them.
    static QStringList details(QWidget* w) {
        QStringList texts;
        for (const char* name : {"lbl4", "lbl5", "lbl1"})
            texts << child<QLabel>(w, name)->text();
        return texts;
    }
    QString package() const { return m_dir.filePath(QString::fromLatin1(kPackageFileName)); }
    static std::unique_ptr<QMessageBox> takeBox(QWidget* panel) {
        QMessageBox* box = panel->findChild<QMessageBox*>();
        if (box) {
            box->setAttribute(Qt::WA_DeleteOnClose, false);
            box->setParent(nullptr);
        }
        return std::unique_ptr<QMessageBox>(box);
    }

private slots:
    void initTestCase() { QVERIFY(useProgramFolder(m_dir)); }
    void init() {
        QFile::remove(package());
        QDir(package()).removeRecursively();
    }

    void missingPackage_data() {
        QTest::addColumn<bool>("directory");
        QTest::addColumn<QString>("folder"); // the program's folder, under the test's own
        QTest::newRow("no file") << false << QString();
        QTest::newRow("a directory of that name") << true << QString();
        // The package in the folder we were in must not be taken for the program's.
        QTest::newRow("a program folder that cannot be entered") << false << "gone";
    }
    void missingPackage() {
        QFETCH(bool, directory);
        QFETCH(QString, folder);
        if (directory)
            QVERIFY(QDir().mkpath(package()));
        if (!folder.isEmpty()) {
            QVERIFY(writeFile(package(), demoPackage(16)));
            QVERIFY(QDir::setCurrent(m_dir.path()));
            TPeiZhiForm::setProgramDirectory(m_dir.filePath(folder));
        }
        const auto restore = qScopeGuard([&] { TPeiZhiForm::setProgramDirectory(m_dir.path()); });
        TPeiZhiForm panel;
        panel.show();
        const auto box = takeBox(&panel);
        QVERIFY(box);
        QCOMPARE(box->text(), t(text::kPackageNotInProgramDir));
        QCOMPARE(box->informativeText(),
                 QDir::toNativeSeparators(QDir(m_dir.filePath(folder)).filePath("RQ_CPU.cpu")));
        QCOMPARE(box->standardButtons(), QMessageBox::Ok);
        QCOMPARE(details(&panel), QStringList({"", "", ""}));
    }

    // The details of a package with a GBK model, then the package cut to every length: an
    // error box and untouched labels until the details are all there (15 bytes), never a
    // crash or half-set labels.
    void everyCutPackage_data() {
        QTest::addColumn<int>("length");
        for (int n = 0; n <= 17; ++n)
            QTest::addRow("%d bytes", n) << n;
    }
    void everyCutPackage() {
        QFETCH(int, length);
        QVERIFY(writeFile(package(), QByteArray::fromHex("B0312E37000000E65A44290329040510AA")));
        TPeiZhiForm panel;
        panel.show();
        const QStringList first{t("版"), "1.7", t("2010年4月29日3时29分44秒")};
        QCOMPARE(details(&panel), first);
        QVERIFY(!panel.findChild<QMessageBox*>());
        QCOMPARE(QDir::currentPath(), QDir(m_dir.path()).absolutePath());
        // An installed program keeps its package where a technician would not look.
        QCOMPARE(child<QLabel>(&panel, "lbl4")->toolTip(), QDir::toNativeSeparators(package()));

        const QByteArray cut =
            QByteArray::fromHex("4C322E38000000335A443C0329040510AA").left(length);
        QVERIFY(writeFile(package(), cut));
        child<QPushButton>(&panel, "btn1")->click();
        const auto box = takeBox(&panel);
        QCOMPARE(bool(box), length < 15);
        if (box)
            QCOMPARE(box->icon(), QMessageBox::Critical);
        const QStringList shown = details(&panel);
        QCOMPARE(shown.mid(0, 2), length < 15 ? first.mid(0, 2) : QStringList({"L3", "2.8"}));
        QCOMPARE(shown[2] == first[2], length < 15);
    }

    // "更新" posts the start; the worker reads the choices of the moment from the snapshot.
    void updateStartsAnUpgradeWithTheSelections() {
        QVERIFY(writeFile(package(), demoPackage(16)));
        TForm1 f;
        std::atomic<int> runs{0};
        std::mutex m;
        std::string seen;
        f.setUpgradeRoutine([&](MainWindowLink&, const SelectionProvider& s, std::stop_token) {
            std::lock_guard lock(m);
            seen = s.screenText() + " " + s.baudText() + " " + s.portName();
            ++runs;
        });
        f.show();
        TPeiZhiForm* panel = f.peiZhiForm();
        child<QComboBox>(panel, "cbbPingNo")->setCurrentIndex(79);
        child<QComboBox>(panel, "cbb1")->setCurrentIndex(0);
        auto* ports = child<QComboBox>(panel, "cbb2");
        ports->insertItem(0, QStringLiteral("/dev/ttyS7"));
        ports->setCurrentIndex(0);
        child<QPushButton>(panel, "btn2")->click();
        QCOMPARE(runs.load(), 0); // posted, not run inside the click
        QTRY_COMPARE(runs.load(), 1);
        std::lock_guard lock(m);
        QCOMPARE(seen, std::string("80 9600 /dev/ttyS7"));
    }

    // While an exchange runs, neither button starts another (it would fail at the port and
    // show "发送失败" over an upgrade going well); whatever the outcome, both come back.
    void exchangeButtonsWaitForTheExchange_data() {
        QTest::addColumn<bool>("upgrade"); // else a query
        QTest::addColumn<int>("message");  // the upgrade's last word
        QTest::addColumn<QString>("status");
        QTest::newRow("upgrade confirmed") << true << int(WM_CPU_RESULT) << t(text::kConfigOk);
        QTest::newRow("upgrade failed") << true << int(WM_CPU_SEND_FAILED) << t(text::kSendFailed);
        QTest::newRow("query") << false << 0 << t(text::kQueryOk);
    }
    void exchangeButtonsWaitForTheExchange() {
        QFETCH(bool, upgrade);
        QFETCH(int, message);
        QVERIFY(writeFile(package(), demoPackage(16)));
        TForm1 f;
        std::atomic<bool> go{false};
        std::atomic<int> runs{0};
        auto hold = [&](std::stop_token st) {
            ++runs;
            while (!go && !st.stop_requested())
                QThread::msleep(1);
        };
        f.setUpgradeRoutine([&](MainWindowLink& w, const SelectionProvider&, std::stop_token st) {
            hold(st);
            w.send(unsigned(message), 0, 0);
        });
        f.show();
        TPeiZhiForm* panel = f.peiZhiForm();
        panel->setQueryRoutine([&](QueryReporter& r, const SelectionProvider&, std::stop_token st) {
            hold(st);
            r.status(text::kQueryOk);
        });
        auto* update = child<QPushButton>(panel, "btn2");
        auto* query = child<QPushButton>(panel, "btn3");
        (upgrade ? update : query)->click();
        QTRY_COMPARE(runs.load(), 1);
        QVERIFY(!update->isEnabled() && !query->isEnabled());
        update->click();
        query->click();
        go = true;
        QTRY_VERIFY(update->isEnabled() && query->isEnabled());
        QCOMPARE(runs.load(), 1);
        QTEST(f.findChild<QLabel*>("lbl1")->text(), "status");
    }

    // The query's texts reach the main window and the panel. A query still running when
    // the panel goes is stopped and joined, and its late texts are dropped rather than
    // delivered to a dead panel.
    void queryTextsThenClosingStopsTheQuery() {
        QVERIFY(writeFile(package(), demoPackage(16)));
        TForm1 f;
        f.show();
        TextRecorder statuses;
        connect(&f, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        QPointer<TPeiZhiForm> panel = f.peiZhiForm();
        panel->setQueryRoutine([](QueryReporter& r, const SelectionProvider&, std::stop_token) {
            r.status(text::kCommFailed);
            r.cardModel("\xB0\xE6"
                        "A8"); // GBK
            r.status(text::kQueryOk);
        });
        child<QPushButton>(panel, "btn3")->click();
        QTRY_COMPARE(child<QLabel>(panel, "lbl6")->text(), t("版A8"));
        QTRY_COMPARE(statuses.texts, (QStringList{t(text::kCommFailed), t(text::kQueryOk)}));

        std::atomic<bool> stopped{false};
        panel->setQueryRoutine([&](QueryReporter& r, const SelectionProvider&, std::stop_token st) {
            std::mutex m;
            std::condition_variable_any cv;
            std::unique_lock lock(m);
            cv.wait(lock, st, [] { return false; });
            r.cardModel("late");
            stopped = true;
        });
        child<QPushButton>(panel, "btn3")->click();
        panel->close();
        QTRY_VERIFY(panel.isNull());
        QVERIFY(stopped);
        QCoreApplication::processEvents(); // the late text finds no panel
    }

#ifndef _WIN32
    // The port chosen stays chosen when the panel is shown again or the box opened, which
    // reads the list afresh: a card started since is there at once. One that has gone stays
    // chosen and says so, rather than another port taking the next upgrade unseen.
    void portChoiceSurvivesANewReading() {
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        auto card = [](const char* name) {
            auto sim = Simulator::create({});
            return std::pair(std::move(sim.value()),
                             QString::fromStdString(sim.value()->registerPort(name)->string()));
        };
        auto [a, pathA] = card("CARD-A");
        auto [b, pathB] = card("CARD-B");
        TPeiZhiForm panel;
        panel.show();
        auto* box = child<QComboBox>(&panel, "cbb2");
        box->setCurrentIndex(box->findData(pathB));
        QCOMPARE(box->currentText(), QStringLiteral("CARD-B"));
        panel.hide();
        panel.show();
        QCOMPARE(box->currentData().toString(), pathB);

        auto [c, pathC] = card("CARD-C");
        box->showPopup();
        QVERIFY(box->findData(pathC) >= 0);
        box->hidePopup();
        b->unregisterPort();
        box->showPopup();
        box->hidePopup();
        QCOMPARE(box->currentData().toString(), pathB);
        QCOMPARE(panel.selection()->portName(), pathB.toStdString());
        QVERIFY(box->property("portGone").toBool());
        QVERIFY(box->toolTip().contains(t("已断开")));
    }

    // Opened, the panel lists the ports plugged in since; each entry says what the port is,
    // and the open list is wide enough for the longest name while the closed box keeps its
    // size. Last: it changes the style.
    void portListDescribesThePortsAndFitsTheLongestName() {
        // The Windows style opens the list at the width of the box, as the technicians'
        // machines do; Fusion would widen it by itself.
        QApplication::setStyle(QStringLiteral("Windows"));
        QTemporaryDir runtime;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        SimulatorOptions o;
        o.screen = 5;
        o.model = "QX-9";
        auto sim = Simulator::create(o);
        QVERIFY(sim);
        const auto link = (*sim)->registerPort("PRODUCTION-LINE-ADAPTER-7");
        QVERIFY(link);
        TPeiZhiForm panel;
        panel.show();
        auto* box = child<QComboBox>(&panel, "cbb2");
        const QString path = QString::fromStdString(link->string());
        const int row = box->findData(path);
        QVERIFY(row >= 0);
        // The box shows the short name; the open list the name, the path and what it is.
        QCOMPARE(box->itemText(row), QStringLiteral("PRODUCTION-LINE-ADAPTER-7"));
        const QString tip = box->itemData(row, Qt::ToolTipRole).toString();
        QVERIFY2(tip.contains("simulated card, screen 5, model QX-9"), qPrintable(tip));
        box->showPopup();
        QTRY_VERIFY(box->view()->isVisible());
        const QModelIndex index = box->model()->index(row, 0);
        const QString listed = index.data(PortComboBox::kListTextRole).toString();
        QVERIFY2(listed.contains(path) && listed.contains(tip.section('\n', 1)),
                 qPrintable(listed));
        const QRect item = box->view()->visualRect(index);
        QVERIFY(item.width() > box->view()->fontMetrics().horizontalAdvance(listed));
        box->hidePopup();
        QCOMPARE(box->size(), QSize(73, 21));
    }
#endif
};

QTEST_MAIN(PanelTest)
#include "PanelTest.moc"
