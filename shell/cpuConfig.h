// The main window: status label, progress bar, popup menu, the panels inside it, and the
// handlers of the WM_CPU_* messages through which the upgrade worker reports.
#pragma once

#include "gui/MainWindowEvents.h"
#include "gui/MainWindowMessages.h"
#include "gui/WorkerSet.h"
#include "link/Selection.h"
#include "package/qt/MainStatus.h"
#include "package/qt/SJ.h"
#include "panel/PeiZhi.h"
#include "station/StationWindow.h"

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
class QMessageBox;
QT_END_NAMESPACE

namespace cpuconfig {

class SelectionSnapshot;
class ServiceMenu;
class TForm2;

// Also the package tool's way to the status label and the progress bar (MainStatus).
class TForm1 : public QWidget, public MainStatus {
    Q_OBJECT

public:
    using UpgradeRoutine = SelectionRoutine<MainWindowLink>;

    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Top-left corner that centres a window on a screen; the division drops the fraction
    // towards zero, so a screen narrower than the window gives a negative left edge.
    static QPoint centredOrigin(QSize screen, QSize window);

    TPeiZhiForm* peiZhiForm() const { return m_peiZhi; }
    TSJForm* sjForm() const { return m_sjForm; }
    TForm2* form2() const { return m_form2; }
    TStationForm* stationForm() const { return m_stationForm; }
    QMenu* pm1() const { return m_pm1; }
    bool serviceMenuAdded() const;
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
    void MyNs2Click();
    void MyNs3Click();
    void MyNs4Click(); // the station window

    // Every text the status label lbl1 shows goes through here.
    void setStatus(const QString& text);

    // MainStatus, for the package tool.
    void setStatusText(const QString& text) override { setStatus(text); }
    void hideProgressBar() override;

signals:
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void handleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    void progress(std::uintptr_t wParam, std::intptr_t lParam);
    void startUpgradeWorker();
    // False while the question whether to end a running upgrade waits for its answer.
    bool mayCloseNow();
    // Stops the workers and releases the panel; the window closes next.
    void shutDown();

    std::unique_ptr<Ui::TForm1> ui;
    QMenu* m_pm1 = nullptr;
    QPointer<TPeiZhiForm> m_peiZhi;       // cleared by itself when the panel is destroyed
    QPointer<TSJForm> m_sjForm;           // likewise
    QPointer<TStationForm> m_stationForm; // likewise
    TForm2* m_form2 = nullptr;
    ServiceMenu* m_serviceMenu = nullptr; // holds the service-menu flag and the password
    std::shared_ptr<SelectionSnapshot> m_noPanelSelection;
    std::shared_ptr<MessageTarget> m_target;
    UpgradeRoutine m_upgradeRoutine;
    WorkerHandle m_upgradeWorker;
    int m_upgradesRunning = 0; // started and not yet reported ended
    QPointer<QMessageBox> m_closeQuestion;
    bool m_closeConfirmed = false;
    bool m_shutDown = false;
    WorkerSet m_upgrades; // last member: joined first, while everything it may touch exists
};

} // namespace cpuconfig
