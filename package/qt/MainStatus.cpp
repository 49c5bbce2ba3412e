#include "package/qt/MainStatus.h"

#include <QLabel>
#include <QProgressBar>

namespace cpuconfig {

WidgetMainStatus::WidgetMainStatus(QLabel* lbl1, QProgressBar* pb1) : m_lbl1(lbl1), m_pb1(pb1) {}

void WidgetMainStatus::setStatusText(const QString& text) {
    if (m_lbl1) {
        m_lbl1->setText(text);
    }
}

void WidgetMainStatus::hideProgressBar() {
    if (m_pb1) {
        m_pb1->hide();
    }
}

} // namespace cpuconfig
