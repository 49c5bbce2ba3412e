#include "panel/PortComboBox.h"

#include <QStyledItemDelegate>

namespace cpuconfig {

namespace {

class PortListDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        if (const QVariant text = index.data(PortComboBox::kListTextRole); text.isValid())
            option->text = text.toString();
    }
};

} // namespace

PortComboBox::PortComboBox(QWidget* parent) : QComboBox(parent) {
    setItemDelegate(new PortListDelegate(this));
}

void PortComboBox::showPopup() {
    emit aboutToOpen();
    QComboBox::showPopup();
}

} // namespace cpuconfig
