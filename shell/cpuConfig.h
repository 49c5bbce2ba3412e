// The main window: status label, progress bar, popup menu, the panels inside it, and the
// handlers of the WM_CPU_* messages through which the upgrade worker reports.
#pragma once

#include "link/Messages.h"
#include "link/Selection.h"
#include "panel/PeiZhi.h"
#include "shell/MainWindowEvents.h"
#include "shell/WorkerSet.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <stop_token>

QT_BEGIN_NAMESPACE
namespace Ui {
class TForm1;
}
class QMenu;
QT_END_NAMESPACE

namespace cpuconfig {

class SelectionSnapshot;

class TForm1 : public QWidget {
    Q_OBJECT

public:
    using UpgradeRoutine =
        std::function<void(MainWindowLink&, const SelectionProvider&, std::stop_token)>;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Top-left corner that centres a window on a screen; the division drops the fraction
    // towards zero, so a screen narrower than the window gives a negative left edge.
    static QPoint centredOrigin(QSize screen, QSize window);

    TPeiZhiForm* peiZhiForm() const { return m_peiZhi; }
    QMenu* pm1() const { return m_pm1; }
    // The last upgrade worker started; earlier ones keep running until they end.
    WorkerHandle upgradeWorker() const { return m_upgradeWorker; }
    std::size_t runningUpgrades() const { return m_upgrades.running(); }
    // The upgrade run on WM_CPU_START (the real one unless a test puts another in).
    void setUpgradeRoutine(UpgradeRoutine routine) { m_upgradeRoutine = std::move(routine); }

    void FormCreate();
    void FormShow();
    void btn1Click();
    void btn2Click();
    void CPU1Click();
    void img1MouseMove();
    void img2Click();
    void img3Click();
    void img4Click();
    void N1Click();
    void N2Click();
    void pm1Change();

    // Every text the status label lbl1 shows goes through here.
    void setStatus(const QString& text);

signals:
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void handleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    void progress(std::uintptr_t wParam, std::intptr_t lParam);
    void startUpgradeWorker();

    std::unique_ptr<Ui::TForm1> ui;
    QMenu* m_pm1 = nullptr;
    QPointer<TPeiZhiForm> m_peiZhi; // cleared by itself when the panel is destroyed
    bool m_serviceMenuAdded = false;
    std::shared_ptr<SelectionSnapshot> m_noPanelSelection;
    std::shared_ptr<MessageTarget> m_target;
    UpgradeRoutine m_upgradeRoutine;
    WorkerHandle m_upgradeWorker;
    WorkerSet m_upgrades; // last member: joined first, while everything it may touch exists
};

} // namespace cpuconfig
