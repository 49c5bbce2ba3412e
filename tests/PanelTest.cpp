#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "panel/PeiZhi.h"
#include "shell/cpuConfig.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include <atomic>
#include <mutex>

using namespace cpuconfig;
using namespace cpuconfig::test;

namespace {

// Header "N1.7", zeros, card version "2"; then the image; then the trailer bytes given.
QByteArray packageWith(const char* trailerHex, int imageBytes = 1) {
    QByteArray p = hexBytes("4E312E3700000032");
    p.append(imageBytes, '\x5A');
    p.append(hexBytes(trailerHex));
    return p;
}

} // namespace

class PanelTest : public QObject {
    Q_OBJECT

private:
    template <class T> static T* child(QWidget* w, const char* name) {
        T* c = w->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no child %s", name);
        return c;
    }
    static QString label(QWidget* w, const char* name) { return child<QLabel>(w, name)->text(); }
    QString package() const { return m_dir.filePath(QString::fromLatin1(kPackageFileName)); }
    void removePackage() {
        QFile::remove(package());
        QDir(package()).removeRecursively();
    }
    static QMessageBox* takeBox(QWidget* panel) {
        QMessageBox* box = panel->findChild<QMessageBox*>();
        if (box) {
            box->setAttribute(Qt::WA_DeleteOnClose, false);
            box->setParent(nullptr);
        }
        return box;
    }

private slots:
    void initTestCase() {
        prepareTestApplication();
        QVERIFY(m_dir.isValid());
        TPeiZhiForm::setProgramDirectory(m_dir.path());
    }
    void init() { removePackage(); }

    void layout_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        auto row = [](const char* n, QRect r, const char* text) {
            QTest::newRow(n) << QString::fromLatin1(n) << r << QString::fromUtf8(text);
        };
        row("grp1", {0, 0, 421, 249}, "CPU配置");
        row("img1", {-33, 0, 450, 248}, "");
        row("mmo2", {11, 16, 378, 89}, "");
        row("lbl14", {54, 118, 33, 19}, "屏号");
        row("cbbPingNo", {96, 112, 73, 21}, "1");
        row("lbl13", {54, 149, 41, 17}, "串口号");
        row("cbb2", {96, 144, 73, 21}, "");
        row("lbl12", {54, 176, 36, 13}, "波特率");
        row("cbb1", {96, 176, 73, 21}, "115200");
        row("bvl1", {54, 201, 294, 3}, "");
        row("btn3", {80, 207, 88, 27}, "获取型号");
        row("lbl11", {184, 112, 137, 13}, "您现在配置的是我公司的:");
        row("lbl10", {184, 136, 101, 13}, "更新控制卡型号");
        row("lbl4", {287, 136, 58, 13}, "");
        row("lbl9", {184, 160, 65, 13}, "更新日期");
        row("lbl1", {243, 160, 150, 13}, "");
        row("lbl8", {184, 184, 65, 13}, "CPU版本");
        row("lbl5", {248, 184, 113, 13}, "");
        row("lbl2", {184, 214, 96, 13}, "本地控制卡型号：");
        row("lbl6", {280, 214, 41, 13}, "");
        row("lbl3", {222, 222, 171, 13}, "");
        row("btn2", {345, 206, 73, 30}, "更新");
        row("btn1", {365, 3, 53, 25}, "获取");
    }

    void layout() {
        QFETCH(QString, name);
        TPeiZhiForm panel;
        QWidget* w = panel.findChild<QWidget*>(name);
        QVERIFY(w);
        QTEST(w->geometry(), "geometry");
        QFETCH(QString, text);
        if (auto* l = qobject_cast<QLabel*>(w); l && l->pixmap().isNull())
            QCOMPARE(l->text(), text);
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            QCOMPARE(b->text(), text);
        else if (auto* c = qobject_cast<QComboBox*>(w))
            QCOMPARE(c->currentText(), text);
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            QCOMPARE(g->title(), text);
        QCOMPARE(panel.size(), QSize(418, 249));
    }

    void listsAndNote() {
        TPeiZhiForm panel;
        auto* screens = child<QComboBox>(&panel, "cbbPingNo");
        QCOMPARE(screens->count(), 80);
        QCOMPARE(screens->itemText(79), QStringLiteral("80"));
        auto* bauds = child<QComboBox>(&panel, "cbb1");
        QStringList items;
        for (int i = 0; i < bauds->count(); ++i)
            items << bauds->itemText(i);
        QCOMPARE(items, (QStringList{"9600", "28800", "57600", "115200"}));
        QCOMPARE(child<QPlainTextEdit>(&panel, "mmo2")->toPlainText(),
                 t("说明: 此配置程序适用于岚曜光电科技的LED异步控制器,配置前请先\n"
                   "检查您的控制卡是否和软件自动识别的型号相符,控制卡拨码开关设置\n"
                   "和波特率串口号是否和软件设置一致.配置成功后请关闭控制卡电源后\n"
                   "等5秒后再上电,如不正常显示请将控制卡和软件的波特率降低重试配\n"
                   "置. "));
        QVERIFY(child<QPlainTextEdit>(&panel, "mmo2")->isReadOnly());
        QVERIFY(!child<QPushButton>(&panel, "btn1")->isVisibleTo(&panel));
    }

    void packageDetails_data() {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("cpuVersion");
        auto row = [](const char* name, const QByteArray& file, const char* model, const char* date,
                      const char* cpuVersion) {
            QTest::newRow(name) << file << t(model) << t(date) << t(cpuVersion);
        };
        const char* date = "2010年4月29日3时29分44秒";
        row("packed decimal date", packageWith("44290329040510AA"), "N2", date, "1.7");
        row("a byte that is not packed decimal shows as hex", packageWith("443C0329040510AA"), "N2",
            "2010年4月29日3时3C分44秒", "1.7");
        row("15 bytes: the date runs to the last byte", hexBytes("4E312E370000003244290329040510"),
            "N2", date, "1.7");
        row("model letter 0 leaves the model empty", hexBytes("00312E37000000325A44290329040510AA"),
            "", date, "1.7");
        row("two-character CPU version padded with zero",
            hexBytes("4E313700000000325A44290329040510AA"), "N2", date, "17");
        row("model bytes are GBK", hexBytes("B0312E37000000E65A44290329040510AA"), "版", date,
            "1.7");
        row("long package: the date comes from its end", packageWith("00001201010126AA", 4096),
            "N2", "2026年1月1日12时0分0秒", "1.7");
    }

    void packageDetails() {
        QFETCH(QByteArray, file);
        QVERIFY(writeFile(package(), file));
        TPeiZhiForm panel;
        panel.show();
        QTEST(label(&panel, "lbl4"), "model");
        QTEST(label(&panel, "lbl1"), "date");
        QTEST(label(&panel, "lbl5"), "cpuVersion");
        QVERIFY(!panel.findChild<QMessageBox*>());
        QCOMPARE(QDir::currentPath(), QDir(m_dir.path()).absolutePath());
        // An installed program keeps its package where a technician would not look.
        QCOMPARE(child<QLabel>(&panel, "lbl4")->toolTip(), QDir::toNativeSeparators(package()));
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
        std::unique_ptr<QMessageBox> box(takeBox(&panel));
        QVERIFY(box);
        QCOMPARE(box->text(), t(text::kPackageNotInProgramDir));
        QCOMPARE(box->informativeText(),
                 QDir::toNativeSeparators(QDir(m_dir.filePath(folder)).filePath("RQ_CPU.cpu")));
        QCOMPARE(box->standardButtons(), QMessageBox::Ok);
        QCOMPARE(label(&panel, "lbl4"), QString());
        QCOMPARE(label(&panel, "lbl1"), QString());
    }

    void shortPackageLeavesTheLabels() {
        QVERIFY(writeFile(package(), packageWith("44290329040510AA")));
        TPeiZhiForm panel;
        panel.show();
        QCOMPARE(label(&panel, "lbl4"), QStringLiteral("N2"));

        QVERIFY(writeFile(package(), hexBytes("5A312E37000000334429032904") /* 13 bytes */ +
                                         QByteArray(1, '\x10')));
        child<QPushButton>(&panel, "btn1")->click();
        std::unique_ptr<QMessageBox> box(takeBox(&panel));
        QVERIFY(box);
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->standardButtons(), QMessageBox::Ok);
        QCOMPARE(label(&panel, "lbl4"), QStringLiteral("N2"));
        QCOMPARE(label(&panel, "lbl5"), QStringLiteral("1.7"));
        QCOMPARE(label(&panel, "lbl1"), t("2010年4月29日3时29分44秒"));
    }

    // Every length a package can be cut to: an error box and untouched labels until the
    // details are all there (15 bytes), never a crash or half-set labels.
    void everyCutPackage_data() {
        QTest::addColumn<int>("length");
        for (int n = 0; n <= 17; ++n)
            QTest::addRow("%d bytes", n) << n;
    }

    void everyCutPackage() {
        QFETCH(int, length);
        const QByteArray whole = packageWith("44290329040510AA");
        QVERIFY(writeFile(package(), whole));
        TPeiZhiForm panel;
        panel.show();
        QCOMPARE(label(&panel, "lbl1"), t("2010年4月29日3时29分44秒"));

        QVERIFY(writeFile(package(), hexBytes("4C322E38000000335A443C0329040510AA").left(length)));
        child<QPushButton>(&panel, "btn1")->click();
        std::unique_ptr<QMessageBox> box(takeBox(&panel));
        if (length < 15) {
            QVERIFY(box);
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(label(&panel, "lbl4"), QStringLiteral("N2"));
            QCOMPARE(label(&panel, "lbl5"), QStringLiteral("1.7"));
            QCOMPARE(label(&panel, "lbl1"), t("2010年4月29日3时29分44秒"));
        } else {
            QVERIFY(!box);
            QCOMPARE(label(&panel, "lbl4"), QStringLiteral("L3"));
            QCOMPARE(label(&panel, "lbl5"), QStringLiteral("2.8"));
            QVERIFY(label(&panel, "lbl1") != t("2010年4月29日3时29分44秒"));
        }
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

    void queryTextsReachTheWindows() {
        QVERIFY(writeFile(package(), demoPackage(16)));
        TForm1 f;
        f.show();
        TextRecorder statuses;
        connect(&f, &TForm1::statusChanged, &statuses, &TextRecorder::record);
        TPeiZhiForm* panel = f.peiZhiForm();
        panel->setQueryRoutine([](QueryReporter& r, const SelectionProvider&, std::stop_token) {
            r.status(text::kCommFailed);
            r.cardModel("\xB0\xE6"
                        "A8"); // GBK
            r.status(text::kQueryOk);
        });
        child<QPushButton>(panel, "btn3")->click();
        QTRY_COMPARE(label(panel, "lbl6"), t("版A8"));
        QTRY_COMPARE(statuses.texts, (QStringList{t(text::kCommFailed), t(text::kQueryOk)}));
    }

    // A query still running when the panel goes is stopped and joined, and its late texts
    // are dropped rather than delivered to a dead panel.
    void closingThePanelStopsItsQuery() {
        QVERIFY(writeFile(package(), demoPackage(16)));
        auto* panel = new TPeiZhiForm;
        panel->show();
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
        QPointer<TPeiZhiForm> guard(panel);
        panel->close();
        QTRY_VERIFY(guard.isNull());
        QVERIFY(stopped);
        QCoreApplication::processEvents(); // the late text finds no panel
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(PanelTest)
#include "PanelTest.moc"
