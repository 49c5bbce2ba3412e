// The configuration panel "CPU配置": screen number, port and baud rate, the package's
// details, and the buttons that start the card query and the upgrade.
#pragma once

#include "gui/WorkerSet.h"
#include "link/Outcome.h"
#include "link/Selection.h"
#include "panel/SelectionSnapshot.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <stop_token>

QT_BEGIN_NAMESPACE
namespace Ui {
class TPeiZhiForm;
}
class QMessageBox;
QT_END_NAMESPACE

namespace cpuconfig {

// What the panel shows of a card query. Called from the query worker; the panel delivers
// both to its own thread. cardModel() carries the card's bytes as received (cut at the first
// zero), decoded as GBK for the label.
class QueryReporter {
public:
    virtual ~QueryReporter() = default;
    virtual void status(const char* text) = 0;
    virtual void cardModel(const std::string& bytes) = 0;
};

// The query's outcome as the panel shows it: the model, then its status texts in order.
void reportQuery(QueryReporter& reporter, const Outcome& outcome);

class TPeiZhiForm : public QWidget {
    Q_OBJECT

public:
    using QueryRoutine = SelectionRoutine<QueryReporter>;

    // owner receives WM_CPU_START from "更新"; it is also the parent the panel lives in.
    explicit TPeiZhiForm(QWidget* owner = nullptr);
    ~TPeiZhiForm() override;

    // What the workers read. Stays valid for a worker after the panel is gone.
    std::shared_ptr<const SelectionProvider> selection() const { return m_selection; }

    // The card query run by "获取型号" (the real one unless a test puts another in).
    void setQueryRoutine(QueryRoutine routine) { m_queryRoutine = std::move(routine); }
    WorkerSet& queryWorkers() { return m_queries; }

    // Where RQ_CPU.cpu is looked for: the program's folder (gui/WindowSupport.h) unless set.
    static void setProgramDirectory(const QString& dir);
    static QString programDirectory();

    // While an upgrade runs, "更新" and "获取型号" wait: a second exchange would fail at the
    // port, and its "发送失败" would be taken for the upgrade's. The main window says when.
    void setUpgradeRunning(bool running);

    void FormShow();
    void btn1Click();
    void btn2Click();
    void btn3Click();

signals:
    // A text for the main window's status label (from the card query).
    void statusText(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void fitNote();
    void fillPortList();
    void showPortState();
    void enableExchanges();
    void publishSelections();
    void showMessage(int icon, const QString& text, const QString& detail);

    std::unique_ptr<Ui::TPeiZhiForm> ui;
    QPointer<QWidget> m_owner;
    std::shared_ptr<SelectionSnapshot> m_selection = std::make_shared<SelectionSnapshot>();
    QueryRoutine m_queryRoutine;
    bool m_upgradeRunning = false;
    int m_queriesRunning = 0;
    WorkerSet m_queries; // last member: joined first, while everything it may touch exists
};

} // namespace cpuconfig
