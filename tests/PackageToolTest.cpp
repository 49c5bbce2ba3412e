// The "CPU加密" window and a generation from it, with real files and real widgets; only
// the open dialog is scripted.
#include "GuiTestSupport.h"
#include "common/Texts.h"
#include "package/qt/MainStatus.h"
#include "package/qt/SJ.h"
#include "package/qt/SJLoadWorker.h"
#include "preview/qt/QDPreview.h"
#include "tests/FailDevice.h"
#include "tests/TestSupport.h"

#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <cerrno>
#include <ctime>
#include <functional>
#include <optional>

using namespace cpuconfig;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Built on Sunday 25 April 2010, 09:05:07 UTC.
const Bytes kExample{0x4E, 0x31, 0x2E, 0x37, 0x00, 0x00, 0x00, 0x32, 0x21,
                     0x5A, 0x07, 0x05, 0x09, 0x25, 0x04, 0x07, 0x10, 0xAA};
const Bytes kOldPackage{0x4C, 0x31, 0x2E, 0x30, 0,    0,    0,    0x31, 0x11, 0x22,
                        0x33, 0x59, 0x59, 0x23, 0x31, 0x12, 0x04, 0x09, 0xAA};

// The main window's label and bar, remembering every text in order.
class RecordingStatus final : public MainStatus {
public:
    void setStatusText(const QString& text) override { texts << text; }
    void hideProgressBar() override { ++barHidden; }
    QStringList texts;
    int barHidden = 0;
};

QString qs(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

// The tool over a folder holding the image fw.bin and maybe an old package.
struct Tool {
    test::TempDir dir;
    RecordingStatus status;
    int execs = 0;
    TSJForm form{nullptr, &status};

    Tool(const Bytes& image, std::function<void()> whileOpen = {}, bool scripted = true) {
        test::writeBytes(dir / "fw.bin", image);
        test::writeBytes(dir / "RQ_CPU.cpu", kOldPackage);
        form.worker().setProgramDir(qs(dir.path()));
        if (scripted)
            form.setOpenDialog(std::make_unique<test::ScriptedOpenDialog>(
                qs(dir / "fw.bin"), std::move(whileOpen), &execs));
    }
    Bytes package() const { return test::readBytes(dir / "RQ_CPU.cpu"); }
    QProgressBar* bar() { return form.findChild<QProgressBar*>("ProgressBar1"); }
    QPushButton* btn2() { return form.findChild<QPushButton*>("btn2"); }
    // Presses "加密" and waits for the build to report its end; false when none ran.
    bool generate() {
        QSignalSpy done(&form.worker(), &SJLoadWorker::generationFinished);
        form.btn2Click();
        return done.count() > 0 || (form.worker().running() && done.wait(60000));
    }
};

} // namespace

class PackageToolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        ::tzset();
        qputenv("SOURCE_DATE_EPOCH", "1272186307");
    }
    void cleanup() { test::failWritesAfter(std::nullopt, 0); }

    // The real dialog, as the technician sees it: the preview open dialog with the
    // worker's title, filter and folder. Closing it builds nothing; a build that fails,
    // before the thread or inside it, keeps the old package; each ends with its texts and
    // the button back.
    void build_data() {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<bool>("choose");
        QTest::addColumn<bool>("diskFull");
        QTest::addColumn<QStringList>("texts");
        const QString failed = QString::fromUtf8(text::kLoadFailed);
        QTest::newRow("file chosen") << QByteArray("\x12\xA5") << true << false
                                     << QStringList{QString::fromUtf8(text::kPackageWritten),
                                                    QString::fromUtf8(text::kLoadOk)};
        QTest::newRow("closed") << QByteArray("\x12\xA5") << false << false << QStringList{};
        QTest::newRow("empty image") << QByteArray() << true << false << QStringList{failed};
        QTest::newRow("disk full") << QByteArray("\x12\xA5") << true << true << QStringList{failed};
    }
    void build() {
        QFETCH(QByteArray, image);
        QFETCH(bool, choose);
        QFETCH(QStringList, texts);
        Tool t(Bytes(image.begin(), image.end()), {}, false);
        const QString dir = QDir(qs(t.dir.path())).canonicalPath();
        auto* dlg1 = t.form.findChild<TQDOpenPreviewDialog*>("dlg1");
        QVERIFY(dlg1);
        bool seen = false;
        QTimer::singleShot(0, &t.form, [&] {
            seen = dlg1->isVisible();
            QCOMPARE(dlg1->windowTitle(), QStringLiteral("打开加密文件"));
            QCOMPARE(dlg1->nameFilters(), QStringList{QStringLiteral("配置文件 (*.bin)")});
            QCOMPARE(QDir(dlg1->directory()).canonicalPath(), dir);
            // The rest of the program opens the package by its bare name.
            QCOMPARE(QDir::current().canonicalPath(), dir);
            dlg1->selectFile(qs(t.dir / "fw.bin"));
            QMetaObject::invokeMethod(dlg1, choose ? "accept" : "reject", Qt::DirectConnection);
        });
        if (QFETCH(bool, diskFull); diskFull)
            test::failWritesAfter(10, ENOSPC);
        QCOMPARE(t.generate(), choose);
        QVERIFY(seen);
        QCOMPARE(t.status.texts, texts);
        QCOMPARE(t.status.barHidden, choose && !image.isEmpty() ? 1 : 0);
        QCOMPARE(t.package(), texts.size() == 2 ? kExample : kOldPackage);
        QVERIFY(t.bar()->isHidden());
        QVERIFY(t.btn2()->isEnabled());
    }

    // Progress reaches the end even though updates are coalesced, a second press while a
    // build runs starts nothing, and the texts that go into the package are those standing
    // when the dialog closes.
    void progressSecondPressAndTexts() {
        const std::size_t n = 3 * 1024 * 1024 + 17;
        Tool* tool = nullptr;
        Tool t(test::randomBytes(n, 7), [&] {
            QVERIFY(!tool->btn2()->isEnabled()); // disabled from the press on
            tool->form.findChild<QLineEdit*>("edt1")->setText("T");
            tool->form.findChild<QLineEdit*>("edt2")->setText("");
            tool->form.findChild<QLineEdit*>("edt3")->setText("2");
        });
        tool = &t;
        QSignalSpy done(&t.form.worker(), &SJLoadWorker::generationFinished);
        t.form.btn2Click();
        QVERIFY(!t.btn2()->isEnabled());
        t.form.btn2Click();
        QCOMPARE(t.execs, 1);
        QVERIFY(done.wait(60000));
        QCOMPARE(done.first().first().toBool(), true);
        QCOMPARE(t.bar()->maximum(), int(n));
        QCOMPARE(t.bar()->value(), int(n));
        const Bytes file = t.package();
        QCOMPARE(file.size(), n + 16);
        QCOMPARE(Bytes(file.begin(), file.begin() + 8), Bytes({0x54, 0x32, 0, 0, 0, 0, 0, 0}));
        // And again: the button works after a build.
        QVERIFY(t.generate());
        QCOMPARE(t.execs, 2);
    }

    // Closing the window mid-build stops the build: no crash, and the package is either the
    // old one or the complete new one, never a part.
    void closedWhileBuilding() {
        const std::size_t n = 24 * 1024 * 1024;
        test::TempDir dir;
        test::writeBytes(dir / "fw.bin", test::randomBytes(n, 3));
        test::writeBytes(dir / "RQ_CPU.cpu", kOldPackage);
        RecordingStatus status;
        auto* form = new TSJForm(nullptr, &status);
        form->worker().setProgramDir(qs(dir.path()));
        form->setOpenDialog(std::make_unique<test::ScriptedOpenDialog>(qs(dir / "fw.bin")));
        form->show();
        form->btn2Click();
        QVERIFY(form->worker().running());
        QVERIFY(form->close()); // frees itself
        QTest::qWait(50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        const Bytes file = test::readBytes(dir / "RQ_CPU.cpu");
        QVERIFY(file == kOldPackage || file.size() == n + 16);
    }
};

QTEST_MAIN(PackageToolTest)
#include "PackageToolTest.moc"
