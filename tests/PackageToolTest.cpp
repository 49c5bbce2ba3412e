// The "CPU加密" window and a generation from it, with real files and real widgets; only
// the open dialog is scripted.
#include "GuiTestSupport.h"
#include "common/FileIo.h"
#include "common/Texts.h"
#include "package/MainStatus.h"
#include "package/SJ.h"
#include "package/SJLoadWorker.h"
#include "preview/QDPreview.h"
#include "tests/TestSupport.h"

#include <QDir>
#include <QLabel>
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

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace cpuconfig;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Sunday 25 April 2010, 09:05:07 UTC.
constexpr const char* kEpoch = "1272186307";
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

#ifndef _WIN32
// Drops root's right to write anywhere, so a read-only directory is read-only.
class Unprivileged {
public:
    Unprivileged() {
        if (::geteuid() == 0) {
            m_active = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
        }
    }
    ~Unprivileged() {
        if (m_active) {
            (void)::seteuid(0);
            (void)::setegid(0);
        }
    }

private:
    bool m_active = false;
};
#endif

QString qs(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

struct Tool {
    RecordingStatus status;
    int execs = 0;
    TSJForm form{nullptr, &status};

    Tool(const std::filesystem::path& programDir, const QString& choice,
         std::function<void()> whileOpen = {}) {
        form.worker().setProgramDir(qs(programDir));
        form.setOpenDialog(
            std::make_unique<test::ScriptedOpenDialog>(choice, std::move(whileOpen), &execs));
    }
    QLineEdit* edit(const char* name) { return form.findChild<QLineEdit*>(name); }
    QProgressBar* bar() { return form.findChild<QProgressBar*>("ProgressBar1"); }
    QPushButton* btn2() { return form.findChild<QPushButton*>("btn2"); }
    // Presses "加密" and waits for the build to report its end; false when none ran.
    bool generate() {
        QSignalSpy done(&form.worker(), &SJLoadWorker::generationFinished);
        form.btn2Click();
        if (done.count() > 0) {
            return true; // ended before a thread was needed
        }
        return form.worker().running() && done.wait(60000);
    }
};

} // namespace

class PackageToolTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        qputenv("TZ", "UTC");
        ::tzset();
        m_savedDir = QDir::currentPath();
    }
    void init() {
        qputenv("SOURCE_DATE_EPOCH", kEpoch);
        faults::setWriteLimit(std::nullopt, 0);
    }
    void cleanup() {
        faults::setWriteLimit(std::nullopt, 0);
        QDir::setCurrent(m_savedDir);
    }

    // The real dialog, as the technician sees it: the preview open dialog with the
    // worker's title, filter and folder; choosing a file builds, closing it does not.
    void realDialog_data() {
        QTest::addColumn<bool>("choose");
        QTest::newRow("file chosen") << true;
        QTest::newRow("closed") << false;
    }
    void realDialog() {
        QFETCH(bool, choose);
        test::TempDir dir;
        test::writeBytes(dir / "fw.bin", {0x12, 0xA5});
        test::writeBytes(dir / "RQ_CPU.cpu", kOldPackage);
        RecordingStatus status;
        TSJForm form(nullptr, &status);
        form.worker().setProgramDir(qs(dir.path()));
        auto* dlg1 = form.findChild<TQDOpenPreviewDialog*>("dlg1");
        QVERIFY(dlg1);
        bool seen = false;
        QTimer::singleShot(0, &form, [&] {
            if (!dlg1->isVisible()) {
                return;
            }
            seen = true;
            QCOMPARE(dlg1->windowTitle(), QStringLiteral("打开加密文件"));
            QCOMPARE(dlg1->nameFilters(), QStringList{QStringLiteral("配置文件 (*.bin)")});
            QCOMPARE(QDir(dlg1->directory()).canonicalPath(), QDir(qs(dir.path())).canonicalPath());
            // The rest of the program opens the package by its bare name.
            QCOMPARE(QDir::current().canonicalPath(), QDir(qs(dir.path())).canonicalPath());
            if (choose) {
                dlg1->selectFile(qs(dir / "fw.bin"));
                QMetaObject::invokeMethod(dlg1, "accept", Qt::DirectConnection);
            } else {
                dlg1->reject();
            }
        });
        QSignalSpy done(&form.worker(), &SJLoadWorker::generationFinished);
        form.btn2Click();
        QVERIFY(seen);
        if (choose) {
            QVERIFY(done.wait(60000));
            QCOMPARE(test::readBytes(dir / "RQ_CPU.cpu"), kExample);
            QCOMPARE(status.texts, QStringList({QString::fromUtf8(text::kPackageWritten),
                                                QString::fromUtf8(text::kLoadOk)}));
        } else {
            QCoreApplication::processEvents();
            QVERIFY(!form.worker().running());
            QVERIFY(status.texts.isEmpty());
            QCOMPARE(test::readBytes(dir / "RQ_CPU.cpu"), kOldPackage);
        }
        QCOMPARE(status.barHidden, choose ? 1 : 0);
        QVERIFY(form.findChild<QProgressBar*>("ProgressBar1")->isHidden());
        QVERIFY(form.findChild<QPushButton*>("btn2")->isEnabled());
    }

    void failures_data() {
        QTest::addColumn<QString>("situation");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("barHidden");
        const QString failed = QString::fromUtf8(text::kLoadFailed);
        QTest::newRow("empty image") << "empty" << QStringList{failed} << 0;
        QTest::newRow("unwritable directory")
            << "readonly" << QStringList{QString::fromUtf8(text::kCreateFileFailed), failed} << 1;
        QTest::newRow("disk full") << "full" << QStringList{failed} << 1;
    }
    // Every failure leaves the old package byte for byte and ends with the failure text.
    void failures() {
        QFETCH(QString, situation);
        QFETCH(QStringList, texts);
        QFETCH(int, barHidden);
        test::TempDir dir;
        const auto image = dir / "fw.bin";
        test::writeBytes(image, situation == "empty" ? Bytes{} : Bytes{0x12, 0xA5});
        test::writeBytes(dir / "RQ_CPU.cpu", kOldPackage);
        Tool t(dir.path(), qs(image));
#ifndef _WIN32
        std::optional<Unprivileged> unprivileged;
#endif
        if (situation == "readonly") {
#ifdef _WIN32
            QSKIP("a read-only directory is made with POSIX permissions");
#else
            ::chmod(dir.path().c_str(), 0555);
            unprivileged.emplace();
#endif
        } else if (situation == "full") {
            faults::setWriteLimit(10, ENOSPC);
        }
        QVERIFY(t.generate());
#ifndef _WIN32
        unprivileged.reset();
#endif
        QCOMPARE(t.status.texts, texts);
        QCOMPARE(t.status.barHidden, barHidden);
        QCOMPARE(test::readBytes(dir / "RQ_CPU.cpu"), kOldPackage);
        QVERIFY(t.bar()->isHidden());
        QVERIFY(t.btn2()->isEnabled());
        // Nothing left behind beside the old package.
        QStringList left = QDir(qs(dir.path())).entryList(QDir::Files | QDir::NoDotAndDotDot);
        left.removeAll("fw.bin");
        QCOMPARE(left, QStringList{"RQ_CPU.cpu"});
    }

    // Progress reaches the end even though updates are coalesced, a second press while a
    // build runs starts nothing, and the texts that go into the package are those standing
    // when the dialog closes.
    void progressSecondPressAndTexts() {
        test::TempDir dir;
        const std::size_t n = 3 * 1024 * 1024 + 17;
        test::writeBytes(dir / "fw.bin", test::randomBytes(n, 7));
        Tool* tool = nullptr;
        Tool t(dir.path(), qs(dir / "fw.bin"), [&] {
            QVERIFY(!tool->btn2()->isEnabled()); // disabled from the press on
            tool->edit("edt1")->setText("T");
            tool->edit("edt2")->setText("");
            tool->edit("edt3")->setText("2");
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
        const Bytes file = test::readBytes(dir / "RQ_CPU.cpu");
        QCOMPARE(file.size(), n + 16);
        QCOMPARE(Bytes(file.begin(), file.begin() + 8), Bytes({0x54, 0x32, 0, 0, 0, 0, 0, 0}));
        // And again: the button works after a build.
        QVERIFY(t.generate());
        QCOMPARE(t.execs, 2);
    }

    // Closing the window mid-build stops the build: no crash, and the package is either the
    // old one or the complete new one, never a part.
    void closedWhileBuilding() {
        test::TempDir dir;
        const std::size_t n = 24 * 1024 * 1024;
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

private:
    QString m_savedDir;
};

QTEST_MAIN(PackageToolTest)
#include "PackageToolTest.moc"
