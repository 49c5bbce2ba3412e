// Password dialog, access code and service menu, driven as the main window drives them.
#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "shell/AccessCode.h"
#include "shell/ServiceMenu.h"
#include "shell/passdlg.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

// The main window's side of service mode, without the main window: pm1 as it starts, the
// dialog's OK storing the password and running FormShow, which clicks btn1.
struct Shell {
    QWidget mainWindow;
    QMenu* pm1 = new QMenu(&mainWindow);
    int panelOpened = 0; // btn1Click
    int toolOpened = 0;  // btn2Click through CPU1Click
    ServiceMenu serviceMenu{pm1, [this] { ++panelOpened; }, [this] { ++toolOpened; }};
    TForm2 dialog{&mainWindow};

    Shell() {
        mainWindow.setGeometry(100, 80, 702, 498);
        pm1->addAction(QStringLiteral("输入密码"));
        pm1->addSeparator();
        pm1->addSeparator();
        pm1->addAction(QStringLiteral("退出"));
        QObject::connect(&dialog, &TForm2::confirmed, &dialog, [this](const QString& password) {
            serviceMenu.setEnteredPassword(password);
            formShow();
        });
    }
    void formShow() {
        serviceMenu.addWhenDue();
        ++panelOpened;
    }
    // N1Click without the modal loop: the dialog is shown and driven from here.
    void openDialog() {
        dialog.prepareShow(&mainWindow);
        dialog.show();
    }
    QLineEdit* edt1() { return dialog.findChild<QLineEdit*>("edt1"); }
    QLabel* lbl2() { return dialog.findChild<QLabel*>("lbl2"); }
    QPushButton* button(const char* name) { return dialog.findChild<QPushButton*>(name); }
    void type(const QString& text) {
        edt1()->clear();
        edt1()->setText(text);
    }
    void confirm(const QString& text) {
        openDialog();
        type(text);
        button("btn1")->click();
    }
};

const QStringList kLocked{"输入密码", "-", "-", "退出"};
const QStringList kUnlocked{"输入密码", "-", "CPU升级", "CPU加密", "-", "退出"};

} // namespace

class ServiceModeTest : public QObject {
    Q_OBJECT

private slots:
    void accessCode_data() {
        QTest::addColumn<QByteArray>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("the code") << QByteArray("cobalt") << true;
        QTest::newRow("capital") << QByteArray("Cobalt") << false;
        QTest::newRow("blank after") << QByteArray("cobalt ") << false;
        QTest::newRow("nul inside") << QByteArray("cobalt\0x", 8) << false;
        QTest::newRow("prefix") << QByteArray("cobal") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("the digest itself")
            << QByteArray("a2bdc78162b620e9e831d1943a8320b320affa98a52441155013b6d6f0f95246")
            << false;
    }
    void accessCode() {
        QFETCH(QByteArray, typed);
        QFETCH(bool, accepted);
        QCOMPARE(isAccessCode(std::string_view(typed.constData(), typed.size())), accepted);
    }

    // The code must not be readable from the program with `strings`.
    void accessCodeNotInLibrary() {
        QFile lib(QStringLiteral(CPUCONFIG_GUI_LIBRARY));
        QVERIFY2(lib.open(QIODevice::ReadOnly), qPrintable(lib.fileName()));
        const QByteArray bytes = lib.readAll();
        QVERIFY(bytes.contains("TForm2")); // the right file
        QVERIFY(!bytes.contains(QByteArray("cob") + "alt"));
    }

    void confirmOnce_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<bool>("unlocked");
        QTest::newRow("code, OK") << "cobalt" << false << true;
        QTest::newRow("code, Enter") << "cobalt" << true << true;
        QTest::newRow("wrong, OK") << "secret" << false << false;
        QTest::newRow("blank before, Enter: not trimmed") << " cobalt" << true << false;
    }
    // Every OK with a text closes the dialog silently and ends with the panel in front.
    void confirmOnce() {
        QFETCH(QString, typed);
        QFETCH(bool, byEnter);
        QFETCH(bool, unlocked);
        Shell s;
        QSignalSpy confirmed(&s.dialog, &TForm2::confirmed);
        s.openDialog();
        QTest::keyClicks(s.edt1(), typed);
        if (byEnter) {
            QTest::keyClick(s.edt1(), Qt::Key_Return);
        } else {
            QTest::mouseClick(s.button("btn1"), Qt::LeftButton);
        }
        QCOMPARE(confirmed.count(), 1); // Enter must not also press a default button
        QCOMPARE(s.dialog.isVisible(), false);
        QCOMPARE(s.dialog.result(), int(QDialog::Accepted));
        QVERIFY(s.lbl2()->text().isEmpty());
        QCOMPARE(s.serviceMenu.enteredPassword(), typed);
        QCOMPARE(s.serviceMenu.added(), unlocked);
        QCOMPARE(menuTexts(s.pm1), unlocked ? kUnlocked : kLocked);
        QCOMPARE(s.panelOpened, 1);
    }

    void emptyTextStaysThenReopens_data() {
        QTest::addColumn<bool>("byEnter");
        QTest::newRow("OK") << false;
        QTest::newRow("Enter") << true;
    }
    // An empty text keeps the dialog open with the error; reopened, the dialog shows the
    // text typed since, masked, and no error.
    void emptyTextStaysThenReopens() {
        QFETCH(bool, byEnter);
        Shell s;
        QSignalSpy confirmed(&s.dialog, &TForm2::confirmed);
        s.openDialog();
        if (byEnter) {
            QTest::keyClick(s.edt1(), Qt::Key_Return);
        } else {
            s.button("btn1")->click();
        }
        QCOMPARE(s.lbl2()->text(), QString::fromUtf8(text::kPasswordEmpty));
        QVERIFY(s.dialog.isVisible());
        QCOMPARE(confirmed.count(), 0);
        QCOMPARE(s.panelOpened, 0);
        QCOMPARE(menuTexts(s.pm1), kLocked);

        QTest::keyClicks(s.edt1(), "abcd");
        s.button("btn2")->click();
        s.openDialog();
        QCOMPARE(s.edt1()->text(), QStringLiteral("abcd"));
        QCOMPARE(s.edt1()->displayText(), QStringLiteral("****"));
        QVERIFY(s.lbl2()->text().isEmpty());
    }

    // The code twice adds the items once; a wrong code later keeps them. Each command opens
    // its own window, once: the first insertion briefly wires "CPU加密" to the panel, and
    // that must not survive the second.
    void unlockedMenuAndItsCommands() {
        Shell s;
        s.confirm("cobalt");
        s.confirm("cobalt");
        s.confirm("nope");
        QCOMPARE(s.serviceMenu.enteredPassword(), QStringLiteral("nope"));
        QCOMPARE(menuTexts(s.pm1), kUnlocked);
        QCOMPARE(s.panelOpened, 3);
        menuItem(s.pm1, "CPU升级")->trigger();
        QCOMPARE(s.panelOpened, 4);
        QCOMPARE(s.toolOpened, 0);
        menuItem(s.pm1, "CPU加密")->trigger();
        QCOMPARE(s.panelOpened, 4);
        QCOMPARE(s.toolOpened, 1);
        // A changed item re-runs the wiring; still one handler per item.
        menuItem(s.pm1, "CPU加密")->setText(QStringLiteral("CPU加密"));
        menuItem(s.pm1, "CPU加密")->trigger();
        QCOMPARE(s.toolOpened, 2);
        // The fixed items are left alone.
        menuItem(s.pm1, "输入密码")->trigger();
        menuItem(s.pm1, "退出")->trigger();
        QCOMPARE(s.toolOpened, 2);
        QCOMPARE(s.panelOpened, 4);
    }
};

QTEST_MAIN(ServiceModeTest)
#include "ServiceModeTest.moc"
