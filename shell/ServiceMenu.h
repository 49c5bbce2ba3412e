// The service menu of the main window's popup menu: three commands added once the access
// code has been confirmed, wired to their handlers by position whenever the menu changes.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMenu;

namespace cpuconfig {

inline constexpr int kServiceMenuPosition = 2; // just after "输入密码" and its separator

class ServiceMenu : public QObject {
    Q_OBJECT

public:
    // pm1 holds "输入密码", separator, separator, "退出". myNs2Click opens the configuration
    // panel, myNs3Click the package tool, myNs4Click the station window. Watches pm1 from
    // now on: every added, removed or changed item runs pm1Change.
    ServiceMenu(QMenu* pm1, std::function<void()> myNs2Click, std::function<void()> myNs3Click,
                std::function<void()> myNs4Click, QObject* parent = nullptr);

    // The last non-empty text confirmed in the password dialog; kept in memory only.
    void setEnteredPassword(const QString& password) { m_enteredPassword = password; }
    const QString& enteredPassword() const { return m_enteredPassword; }

    // The service-menu flag: the commands are in the menu.
    bool added() const { return m_added; }

    // The menu step of the main window's FormShow: adds "CPU升级", "CPU加密" and "产线升级"
    // when the entered password is the access code and they are not there yet.
    void addWhenDue();

    // Wires the items by position: position 2 opens the configuration panel, position 3 the
    // package tool and position 4 the station window, each once there is an item between
    // it and the closing separator and "退出". Fewer than five items wire nothing.
    void pm1Change();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The menu while it is a whole QMenu; null once it has gone or while it is being
    // destroyed (its last action events arrive then).
    QMenu* menu() const;

    QPointer<QObject> m_menu;
    std::function<void()> m_myNs2Click;
    std::function<void()> m_myNs3Click;
    std::function<void()> m_myNs4Click;
    QString m_enteredPassword;
    bool m_added = false;
};

} // namespace cpuconfig
