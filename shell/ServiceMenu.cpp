#include "shell/ServiceMenu.h"

#include "shell/AccessCode.h"

#include <QAction>
#include <QActionEvent>
#include <QMenu>

namespace cpuconfig {

ServiceMenu::ServiceMenu(QMenu* pm1, std::function<void()> myNs2Click,
                         std::function<void()> myNs3Click, std::function<void()> myNs4Click,
                         QObject* parent)
    : QObject(parent), m_menu(pm1), m_myNs2Click(std::move(myNs2Click)),
      m_myNs3Click(std::move(myNs3Click)), m_myNs4Click(std::move(myNs4Click)) {
    if (m_menu) {
        m_menu->installEventFilter(this);
        pm1Change();
    }
}

QMenu* ServiceMenu::menu() const {
    return qobject_cast<QMenu*>(m_menu.data());
}

void ServiceMenu::addWhenDue() {
    QMenu* pm1 = menu();
    if (m_added || !pm1 || !isAccessCode(m_enteredPassword.toStdString())) {
        return;
    }
    // All go in at the same position, so the last ends up first.
    for (const char* caption : {"产线升级", "CPU加密", "CPU升级"}) {
        auto* item = new QAction(QString::fromUtf8(caption), pm1);
        pm1->insertAction(pm1->actions().value(kServiceMenuPosition, nullptr), item);
    }
    m_added = true;
}

void ServiceMenu::pm1Change() {
    QMenu* pm1 = menu();
    if (!pm1) {
        return;
    }
    const QList<QAction*> items = pm1->actions();
    // A position is wired once there is an item between it and the closing separator and
    // "退出"; with five items position 3 is that separator and stays inert.
    const qsizetype last = items.size() - 3;
    const auto wire = [this](QAction* item, const std::function<void()>& handler) {
        // One handler per item: whatever this menu wired before is replaced.
        disconnect(item, &QAction::triggered, this, nullptr);
        connect(item, &QAction::triggered, this, [handler] {
            if (handler) {
                handler();
            }
        });
    };
    const std::function<void()>* handlers[] = {&m_myNs2Click, &m_myNs3Click, &m_myNs4Click};
    for (qsizetype i = 0; i < 3 && kServiceMenuPosition + i <= last; ++i) {
        wire(items[kServiceMenuPosition + i], *handlers[i]);
    }
}

bool ServiceMenu::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_menu.data()) {
        switch (event->type()) {
        case QEvent::ActionAdded:
        case QEvent::ActionRemoved:
        case QEvent::ActionChanged:
            pm1Change();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace cpuconfig
