#include "shell/Application.h"

#include "shell/MainWindowEvents.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QWidget>

// The skins live in a static library; their registration must be pulled in by hand.
static void initSkins() {
    Q_INIT_RESOURCE(skins);
}

namespace cpuconfig {

void prepareApplication(QApplication& app) {
    initSkins();
    registerCpuMessages();
    app.setApplicationName(QStringLiteral("cpuconfig"));
    app.setApplicationDisplayName(QStringLiteral("cpu升级"));
    app.setWindowIcon(QIcon(QStringLiteral(":/skins/app_icon.png")));
    // The layouts name the classic Windows faces; elsewhere a CJK-capable face stands in.
    const QStringList cjk = {QStringLiteral("WenQuanYi Micro Hei"),
                             QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Microsoft YaHei"),
                             QStringLiteral("SimSun")};
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               QStringList{QStringLiteral("Microsoft Sans Serif")} + cjk);
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), cjk);
    QFont::insertSubstitutions(QStringLiteral("宋体"), QStringList{QStringLiteral("SimSun")} + cjk);
}

} // namespace cpuconfig

namespace cpuconfig {

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

} // namespace cpuconfig
