// Password dialog, access code and service menu, in the main window, and the package tool
// opened from the menu.
#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "package/qt/SJ.h"
#include "package/qt/SJLoadWorker.h"
#include "shell/AccessCode.h"
#include "shell/ServiceMenu.h"
#include "shell/cpuConfig.h"
#include "shell/passdlg.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <ctime>
#include <tuple>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

// The service menu alone on a popup menu as the main window starts it, counting the
// windows its commands open.
struct Shell {
    QMenu pm1;
    int panelOpened = 0;
    int toolOpened = 0;
    int stationOpened = 0;
    ServiceMenu serviceMenu{&pm1, [this] { ++panelOpened; }, [this] { ++toolOpened; },
                            [this] { ++stationOpened; }};
    std::tuple<int, int, int> opened() const { return {panelOpened, toolOpened, stationOpened}; }

    Shell() {
        for (const char* item : {"输入密码", "-", "-", "退出"})
            item[0] == '-' ? (void)pm1.addSeparator() : (void)pm1.addAction(t(item));
    }
    // What the main window does once the dialog took a password.
    void confirm(const char* password) {
        serviceMenu.setEnteredPassword(t(password));
        serviceMenu.addWhenDue();
    }
};

// "输入密码" in the main window, then, inside the modal dialog, whatever act does.
void withPasswordDialog(TForm1& f, const std::function<void(TForm2&)>& act) {
    bool acted = false;
    QTimer::singleShot(0, &f, [&] {
        TForm2* d = f.form2();
        if (d->isVisible()) {
            act(*d);
            acted = true;
        }
        if (d->isVisible())
            d->reject(); // never leave the test hanging in the modal loop
    });
    menuItem(f.pm1(), "输入密码")->trigger();
    QVERIFY(acted);
}

// The window on top at the panels' place.
QWidget* inFront(TForm1& f) {
    QWidget* w = f.childAt(QPoint(220 + 300, 195 + 230));
    while (w && w->parentWidget() != &f)
        w = w->parentWidget();
    return w;
}

const QStringList kLocked{t("输入密码"), "-", "-", t("退出")};
const QStringList kUnlocked{t("输入密码"), "-", t("CPU升级"), t("CPU加密"),
                            t("产线升级"), "-", t("退出")};

} // namespace

class ServiceModeTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        prepareTestApplication();
        qputenv("TZ", "UTC");
        ::tzset();
        qputenv("SOURCE_DATE_EPOCH", "1272186307"); // Sunday 25 April 2010, 09:05:07
        TPeiZhiForm::setProgramDirectory(m_dir.path());
        QVERIFY(writeFile(m_dir.filePath("RQ_CPU.cpu"), demoPackage(64)));
        QVERIFY(writeFile(m_dir.filePath("fw.bin"), QByteArray::fromHex("12A5")));
    }

    // Only the code itself, byte for byte.
    void accessCode() {
        QVERIFY(isAccessCode("cobalt"));
        const char* digest = "a2bdc78162b620e9e831d1943a8320b320affa98a52441155013b6d6f0f95246";
        for (const std::string_view typed : {"Cobalt", "cobalt ", "cobal", "", digest})
            QVERIFY2(!isAccessCode(typed), typed.data());
        QVERIFY(!isAccessCode(std::string_view("cobalt\0x", 8)));
    }

    // The code must not be readable from the program with `strings`.
    void accessCodeNotInLibrary() {
        QFile lib(QStringLiteral(CPUCONFIG_GUI_LIBRARY));
        QVERIFY2(lib.open(QIODevice::ReadOnly), qPrintable(lib.fileName()));
        const QByteArray bytes = lib.readAll();
        QVERIFY(bytes.contains("TForm2")); // the right file
        QVERIFY(!bytes.contains(QByteArray("cob") + "alt"));
    }

    void confirm_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<bool>("unlocked");
        QTest::newRow("code, OK") << "cobalt" << false << true;
        QTest::newRow("code, Enter") << "cobalt" << true << true;
        QTest::newRow("wrong, OK") << "secret" << false << false;
        QTest::newRow("blank before, Enter: not trimmed") << " cobalt" << true << false;
        QTest::newRow("empty, OK") << "" << false << false;
        QTest::newRow("empty, Enter") << "" << true << false;
    }
    // Every OK with a text closes the dialog silently and ends with the panel in front. An
    // empty text keeps the dialog open with the error; reopened, the dialog shows the text
    // typed since, masked, and no error.
    void confirm() {
        QFETCH(QString, typed);
        QFETCH(bool, byEnter);
        TForm1 f;
        f.show();
        QSignalSpy confirmed(f.form2(), &TForm2::confirmed);
        withPasswordDialog(f, [&](TForm2& d) {
            QTest::keyClicks(d.findChild<QLineEdit*>("edt1"), typed);
            if (byEnter)
                QTest::keyClick(d.findChild<QLineEdit*>("edt1"), Qt::Key_Return);
            else
                QTest::mouseClick(d.findChild<QPushButton*>("btn1"), Qt::LeftButton);
            if (typed.isEmpty()) {
                QCOMPARE(d.findChild<QLabel*>("lbl2")->text(), t(text::kPasswordEmpty));
                QVERIFY(d.isVisible());
                QTest::keyClicks(d.findChild<QLineEdit*>("edt1"), "abcd");
                d.findChild<QPushButton*>("btn2")->click();
            }
        });
        QCOMPARE(confirmed.count(), typed.isEmpty() ? 0 : 1); // Enter presses no other button
        QCOMPARE(f.form2()->result(), int(typed.isEmpty() ? QDialog::Rejected : QDialog::Accepted));
        QFETCH(bool, unlocked);
        QCOMPARE(menuTexts(f.pm1()), unlocked ? kUnlocked : kLocked);
        QCOMPARE(inFront(f), f.peiZhiForm());
        withPasswordDialog(f, [&](TForm2& d) {
            QCOMPARE(d.findChild<QLineEdit*>("edt1")->displayText(),
                     QString(typed.isEmpty() ? 4 : typed.size(), '*'));
            QVERIFY(d.findChild<QLabel*>("lbl2")->text().isEmpty());
        });
    }

    // The code twice adds the items once; a wrong code later keeps them. Each command opens
    // its own window, once: the first insertions briefly wire "产线升级" and "CPU加密" to
    // the panel and the tool, and that must not survive the last.
    void unlockedMenuAndItsCommands() {
        Shell s;
        s.confirm("cobalt");
        s.confirm("cobalt");
        s.confirm("nope");
        QCOMPARE(menuTexts(&s.pm1), kUnlocked);
        menuItem(&s.pm1, "CPU升级")->trigger();
        QCOMPARE(s.opened(), std::tuple(1, 0, 0));
        menuItem(&s.pm1, "CPU加密")->trigger();
        QCOMPARE(s.opened(), std::tuple(1, 1, 0));
        menuItem(&s.pm1, "产线升级")->trigger();
        QCOMPARE(s.opened(), std::tuple(1, 1, 1));
        // A changed item re-runs the wiring; still one handler per item.
        menuItem(&s.pm1, "CPU加密")->setText(t("CPU加密"));
        menuItem(&s.pm1, "CPU加密")->trigger();
        // The fixed items are left alone.
        menuItem(&s.pm1, "输入密码")->trigger();
        menuItem(&s.pm1, "退出")->trigger();
        QCOMPARE(s.opened(), std::tuple(1, 2, 1));
    }

    // In the main window: the modal dialog, every command bringing its window forward, the
    // tool kept while open, and a package built in it reaching the panel once the technician
    // goes back to it.
    void inTheMainWindow() {
        TForm1 f;
        f.show();
        auto* date = f.peiZhiForm()->findChild<QLabel*>("lbl1");
        QCOMPARE(date->text(), t("2026年12月6日14时30分5秒"));
        withPasswordDialog(f, [&](TForm2& d) {
            QVERIFY(d.isModal());
            QTest::keyClicks(d.findChild<QLineEdit*>("edt1"), "cobalt");
            QTest::keyClick(d.findChild<QLineEdit*>("edt1"), Qt::Key_Return);
        });
        QCOMPARE(menuTexts(f.pm1()), kUnlocked);
        QCOMPARE(inFront(f), f.peiZhiForm());
        menuItem(f.pm1(), "CPU加密")->trigger();
        TSJForm* tool = f.sjForm();
        QVERIFY(tool && inFront(f) == tool);
        QVERIFY(f.findChild<QToolButton*>("btn2")->isHidden());
        tool->findChild<QLineEdit*>("edt1")->setText("L");
        menuItem(f.pm1(), "CPU升级")->trigger();
        QCOMPARE(inFront(f), f.peiZhiForm());

        // Used again: the same window, the typed text kept, the label cleared.
        f.setStatus("x");
        menuItem(f.pm1(), "CPU加密")->trigger();
        QCOMPARE(f.findChildren<TSJForm*>(), QList<TSJForm*>{tool});
        QCOMPARE(tool->findChild<QLineEdit*>("edt1")->text(), QStringLiteral("L"));
        QCOMPARE(f.findChild<QLabel*>("lbl1")->text(), QString());
        QCOMPARE(inFront(f), tool);

        // Closed, the tool frees itself; the next use creates a new one with the first texts.
        QPointer<TSJForm> first = tool;
        QVERIFY(tool->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first && !f.sjForm());
        menuItem(f.pm1(), "CPU加密")->trigger();
        tool = f.sjForm();
        QCOMPARE(tool->findChild<QLineEdit*>("edt1")->text(), QStringLiteral("N"));

        tool->setOpenDialog(std::make_unique<ScriptedOpenDialog>(m_dir.filePath("fw.bin")));
        tool->findChild<QLineEdit*>("edt1")->setText("T");
        QSignalSpy done(&tool->worker(), &SJLoadWorker::generationFinished);
        tool->findChild<QPushButton*>("btn2")->click();
        QVERIFY(done.wait(60000));
        QCOMPARE(f.findChild<QLabel*>("lbl1")->text(), t(text::kLoadOk));
        QVERIFY(f.findChild<QProgressBar*>("pb1")->isHidden());
        menuItem(f.pm1(), "CPU升级")->trigger();
        QCOMPARE(date->text(), t("2010年4月25日9时5分7秒"));
        QCOMPARE(f.peiZhiForm()->findChild<QLabel*>("lbl4")->text(), QStringLiteral("T2"));

        // The station: a window of its own, one at a time, showing the package just built.
        menuItem(f.pm1(), "产线升级")->trigger();
        TStationForm* station = f.stationForm();
        QVERIFY(station && station->isVisible() && station->isWindow());
        menuItem(f.pm1(), "产线升级")->trigger();
        QCOMPARE(f.findChildren<TStationForm*>(), QList<TStationForm*>{station});
        QCOMPARE(station->findChild<QLabel*>("lblModel")->text(), QStringLiteral("T2"));
    }
};

QTEST_MAIN(ServiceModeTest)
#include "ServiceModeTest.moc"
