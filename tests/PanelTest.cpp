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
