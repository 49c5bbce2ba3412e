// Service mode inside the main window: the password dialog from "输入密码", the service
// menu, the package tool opened from it, and a package built there reaching the panel.
#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "package/OpenDialog.h"
#include "package/SJ.h"
#include "package/SJLoadWorker.h"
#include "shell/cpuConfig.h"
#include "shell/passdlg.h"

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <ctime>
#include <functional>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

// "输入密码", then, inside the modal dialog, whatever act does.
void withPasswordDialog(TForm1& f, const std::function<void(TForm2&)>& act) {
    bool acted = false;
    QTimer::singleShot(0, &f, [&] {
        TForm2* d = f.form2();
        if (d->isVisible()) {
            act(*d);
            acted = true;
        }
        if (d->isVisible()) {
            d->reject(); // never leave the test hanging in the modal loop
        }
    });
    menuItem(f.pm1(), "输入密码")->trigger();
    QVERIFY(acted);
}

void confirm(TForm1& f, const QString& password) {
    withPasswordDialog(f, [&](TForm2& d) {
        auto* edit = d.findChild<QLineEdit*>("edt1");
        edit->clear();
        QTest::keyClicks(edit, password);
        QTest::keyClick(edit, Qt::Key_Return);
    });
}

// The window on top at the panels' place.
QWidget* panelInFront(TForm1& f) {
    QWidget* w = f.childAt(QPoint(220 + 300, 195 + 230));
    while (w && w->parentWidget() != &f) {
        w = w->parentWidget();
    }
    return w;
}

const QStringList kUnlocked{t("输入密码"), "-", t("CPU升级"), t("CPU加密"), "-", t("退出")};

} // namespace

class ServiceWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        prepareTestApplication();
        qputenv("TZ", "UTC");
        ::tzset();
        qputenv("SOURCE_DATE_EPOCH", "1272186307"); // Sunday 25 April 2010, 09:05:07
        QVERIFY(m_dir.isValid());
        TPeiZhiForm::setProgramDirectory(m_dir.path());
        QVERIFY(writeFile(m_dir.filePath("RQ_CPU.cpu"), demoPackage(64)));
        QVERIFY(writeFile(m_dir.filePath("fw.bin"), hexBytes("12A5")));
    }

    // "输入密码" opens the modal dialog; the code adds the items, and every command brings
    // its window forward.
    void unlockOnceAndCommands() {
        TForm1 f;
        f.show();
        withPasswordDialog(f, [&](TForm2& d) { QVERIFY(d.isModal()); });
        confirm(f, "cobalt");
        QCOMPARE(menuTexts(f.pm1()), kUnlocked);
        QCOMPARE(panelInFront(f), static_cast<QWidget*>(f.peiZhiForm()));

        menuItem(f.pm1(), "CPU加密")->trigger();
        TSJForm* tool = f.sjForm();
        QVERIFY(tool);
        QCOMPARE(panelInFront(f), static_cast<QWidget*>(tool));
        QVERIFY(f.findChild<QToolButton*>("btn2")->isHidden());

        tool->findChild<QLineEdit*>("edt1")->setText("L");
        menuItem(f.pm1(), "CPU升级")->trigger();
        QCOMPARE(panelInFront(f), static_cast<QWidget*>(f.peiZhiForm()));

        // Used again: the same window, the typed text kept.
        f.setStatus("x");
        menuItem(f.pm1(), "CPU加密")->trigger();
        QCOMPARE(f.findChildren<TSJForm*>(), QList<TSJForm*>{tool});
        QCOMPARE(tool->findChild<QLineEdit*>("edt1")->text(), QStringLiteral("L"));
        QCOMPARE(f.findChild<QLabel*>("lbl1")->text(), QString());
        QCOMPARE(panelInFront(f), static_cast<QWidget*>(tool));

        // Closed, the tool frees itself; the next use creates a new one with the first texts.
        QPointer<TSJForm> first = tool;
        QVERIFY(tool->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!first && !f.sjForm());
        menuItem(f.pm1(), "CPU加密")->trigger();
        QCOMPARE(f.sjForm()->findChild<QLineEdit*>("edt1")->text(), QStringLiteral("N"));
    }

    // A package built in the tool: texts in order, both bars hidden, and the panel shows
    // the new date once the technician goes back to it.
    void generationReachesThePanel() {
        TForm1 f;
        f.show();
        auto* date = f.peiZhiForm()->findChild<QLabel*>("lbl1");
        QCOMPARE(date->text(), t("2026年12月6日14时30分5秒"));
        confirm(f, "cobalt");
        menuItem(f.pm1(), "CPU加密")->trigger();
        TSJForm* tool = f.sjForm();
        tool->setOpenDialog(std::make_unique<ScriptedOpenDialog>(m_dir.filePath("fw.bin")));
        tool->findChild<QLineEdit*>("edt1")->setText("T");

        QSignalSpy status(&f, &TForm1::statusChanged);
        QSignalSpy done(&tool->worker(), &SJLoadWorker::generationFinished);
        tool->findChild<QPushButton*>("btn2")->click();
        QVERIFY(done.wait(60000));
        QCOMPARE(status.count(), 2);
        QCOMPARE(status.first().first().toString(), t(text::kPackageWritten));
        QCOMPARE(f.findChild<QLabel*>("lbl1")->text(), t(text::kLoadOk));
        QVERIFY(f.findChild<QProgressBar*>("pb1")->isHidden());

        QFile package(m_dir.filePath("RQ_CPU.cpu"));
        QVERIFY(package.open(QIODevice::ReadOnly));
        QCOMPARE(package.readAll(), hexBytes("54312E3700000032215A07050925040710AA"));

        menuItem(f.pm1(), "CPU升级")->trigger();
        QCOMPARE(date->text(), t("2010年4月25日9时5分7秒"));
        QCOMPARE(f.peiZhiForm()->findChild<QLabel*>("lbl4")->text(), QStringLiteral("T2"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(ServiceWindowTest)
#include "ServiceWindowTest.moc"
