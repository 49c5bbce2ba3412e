// The port box cbb2: the list is read afresh each time it is opened, so that an adapter
// plugged in (or a simulated card started) while the panel is shown can be chosen at once.
// The opened list shows each port in full; the closed box only its short name.
#pragma once

#include <QComboBox>

namespace cpuconfig {

class PortComboBox : public QComboBox {
    Q_OBJECT

public:
    // The device name opened for the port (Qt::UserRole holds it too, for findData).
    static constexpr int kDeviceRole = Qt::UserRole;
    // What the opened list shows for an entry: short name, device name, description.
    static constexpr int kListTextRole = Qt::UserRole + 1;
    // True for a chosen port that is no longer listed.
    static constexpr int kGoneRole = Qt::UserRole + 2;

    explicit PortComboBox(QWidget* parent = nullptr);

    void showPopup() override;

signals:
    void aboutToOpen();
};

} // namespace cpuconfig
