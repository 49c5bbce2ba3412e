#include "package/qt/SJLoadWorker.h"

#include "common/Texts.h"
#include "gui/QueuedCall.h"
#include "gui/WindowSupport.h"
#include "package/SJLoad.h"

#include <QAbstractButton>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>

#include <atomic>
#include <filesystem>

namespace cpuconfig {
namespace {

std::filesystem::path toPath(const QString& s) {
    return std::filesystem::path(s.toStdU16String());
}

// Turns the builder's reports, made on the building thread, into queued calls on the GUI
// thread. Progress is coalesced: while one update is waiting to be shown, newer values only
// replace its number, so a busy GUI thread never falls behind; the last value always shows.
class QueuedObserver final : public BuildObserver {
public:
    QueuedObserver(QObject* context, const SJLoadControls& controls, MainStatus* status)
        : m_context(context), m_bar(controls.progressBar), m_status(status),
          m_progress(std::make_shared<Progress>()) {}

    void started(std::uint64_t total) override {
        // The size is a 32-bit signed count: the builder refuses larger images.
        const int max = static_cast<int>(total);
        post([bar = m_bar, max] {
            bar->setRange(0, max);
            bar->setValue(0);
            bar->show();
        });
    }
    void progress(std::uint64_t done, std::uint64_t /*total*/) override {
        m_progress->latest.store(done);
        if (m_progress->pending.exchange(true)) {
            return;
        }
        post([bar = m_bar, p = m_progress] {
            p->pending.store(false);
            bar->setValue(static_cast<int>(p->latest.load()));
        });
    }
    void imageDone() override {
        post([bar = m_bar] { bar->hide(); });
    }
    void status(const char* text) override {
        post([status = m_status, t = QString::fromUtf8(text)] {
            if (status) {
                status->setStatusText(t);
            }
        });
    }
    void finished() override {
        post([status = m_status] {
            if (status) {
                status->hideProgressBar();
            }
        });
    }

private:
    struct Progress {
        std::atomic<std::uint64_t> latest{0};
        std::atomic<bool> pending{false};
    };

    void post(std::function<void()> f) { queueCall(m_context, std::move(f)); }

    QObject* m_context;
    QProgressBar* m_bar;
    MainStatus* m_status;
    std::shared_ptr<Progress> m_progress;
};

} // namespace

SJLoadWorker::SJLoadWorker(const SJLoadControls& controls, std::unique_ptr<OpenDialog> dialog,
                           MainStatus* status, QObject* parent)
    : QObject(parent), m_controls(controls), m_dialog(std::move(dialog)), m_status(status),
      m_programDir(programDirectory()) {}

SJLoadWorker::~SJLoadWorker() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

void SJLoadWorker::setDialog(std::unique_ptr<OpenDialog> dialog) {
    if (!m_running) {
        m_dialog = std::move(dialog);
    }
}

void SJLoadWorker::start() {
    if (m_running || !m_dialog) {
        return;
    }
    m_running = true;
    m_controls.button->setEnabled(false);

    // The rest of the program opens the package by its bare name.
    QDir::setCurrent(m_programDir);
    m_dialog->setInitialDir(m_programDir);
    m_dialog->setTitle(QStringLiteral("打开加密文件"));
    m_dialog->setFilter(QStringLiteral("配置文件 (*.bin)"));

    const QPointer<SJLoadWorker> self(this);
    const bool chosen = m_dialog->exec();
    if (!self) {
        return; // the tool went away while the dialog was open
    }
    if (!chosen || m_dialog->fileName().isEmpty()) {
        m_running = false;
        m_controls.button->setEnabled(true);
        return;
    }

    // The texts as they stand now that the dialog has closed.
    BuildRequest request;
    request.image = toPath(m_dialog->fileName());
    request.texts.model = m_controls.model->text().toStdString();
    request.texts.cardVersion = m_controls.cardVersion->text().toStdString();
    request.texts.cpuVersion = m_controls.cpuVersion->text().toStdString();
    request.output = toPath(QDir(m_programDir).filePath(QString::fromUtf8(kPackageFileName)));
    auto when = buildTime();
    if (!when) {
        finish(false);
        return;
    }
    request.when = *when;

    if (m_thread.joinable()) {
        m_thread.join(); // the previous build has already reported its end
    }
    m_thread = std::jthread(
        [this, request, observer = std::make_shared<QueuedObserver>(this, m_controls, m_status)](
            std::stop_token stop) {
            const bool ok = buildPackage(request, *observer, stop).ok();
            queueCall(this, [this, ok] { finish(ok); });
        });
}

void SJLoadWorker::finish(bool ok) {
    m_controls.progressBar->hide();
    if (m_status) {
        m_status->setStatusText(QString::fromUtf8(ok ? text::kLoadOk : text::kLoadFailed));
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_running = false;
    m_controls.button->setEnabled(true);
    emit generationFinished(ok);
}

} // namespace cpuconfig
