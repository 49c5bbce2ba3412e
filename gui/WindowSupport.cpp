#include "gui/WindowSupport.h"

#include "common/ProgramFolder.h"

#include <QCoreApplication>
#include <QFont>
#include <QVariant>
#include <QWidget>

#include <algorithm>
#include <filesystem>

namespace cpuconfig {

namespace {

QString programDirOverride;

} // namespace

QString programDirectory() {
    if (!programDirOverride.isEmpty())
        return programDirOverride;
    const std::filesystem::path exeDir(QCoreApplication::applicationDirPath().toStdU16String());
    return QString::fromStdU16String(programFolder(exeDir).path.u16string());
}

void setProgramDirectory(const QString& dir) {
    programDirOverride = dir;
}

void applyFontPixelSizes(QWidget* root) {
    QList<QWidget*> widgets{root};
    widgets += root->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        const QVariant size = w->property("fontPixelSize");
        if (!size.isValid())
            continue;
        QFont font = w->font();
        font.setPixelSize(size.toInt());
        w->setFont(font);
    }
}

QString shortPortName(const QString& device) {
    const qsizetype cut =
        std::max(device.lastIndexOf(QLatin1Char('/')), device.lastIndexOf(QLatin1Char('\\')));
    const QString tail = device.mid(cut + 1);
    return tail.isEmpty() ? device : tail;
}

} // namespace cpuconfig
