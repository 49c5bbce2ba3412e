// The main window's status label and progress bar, as the package tool reaches them.
#pragma once

#include <QPointer>
#include <QString>

class QLabel;
class QProgressBar;

namespace cpuconfig {

class MainStatus {
public:
    virtual ~MainStatus() = default;
    virtual void setStatusText(const QString& text) = 0;
    virtual void hideProgressBar() = 0;
};

// The real thing: the main window's lbl1 and pb1. Either may be gone; then it is skipped.
class WidgetMainStatus final : public MainStatus {
public:
    WidgetMainStatus(QLabel* lbl1, QProgressBar* pb1);
    void setStatusText(const QString& text) override;
    void hideProgressBar() override;

private:
    QPointer<QLabel> m_lbl1;
    QPointer<QProgressBar> m_pb1;
};

} // namespace cpuconfig
