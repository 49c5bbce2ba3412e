#include "shell/Application.h"

#include "common/ProgramFolder.h"
#include "common/Version.h"
#include "shell/MainWindowEvents.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <filesystem>

// The skins live in a static library; their registration must be pulled in by hand.
static void initSkins() {
    Q_INIT_RESOURCE(skins);
}

namespace cpuconfig {

namespace {

QString programDirOverride;

constexpr char kHelp[] =
    "Usage: cpuconfig [OPTION]...\n"
    "Service tool for LED display controller cards: upgrade a card's CPU firmware from the\n"
    "package RQ_CPU.cpu over a serial line, compare the card's model with the package's, and,\n"
    "in service mode, build the package from a raw *.bin image.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Show this help and exit\n"
    "  --version      Show the version and exit\n"
    "\n"
    "Qt's own options, such as -platform offscreen, are passed on to Qt.\n";

} // namespace

std::optional<int> answerInfoOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("cpuconfig %s\n", kVersion);
            return 0;
        }
    }
    return std::nullopt;
}

QString programDirectory() {
    if (!programDirOverride.isEmpty())
        return programDirOverride;
    const std::filesystem::path exeDir(QCoreApplication::applicationDirPath().toStdU16String());
    return QString::fromStdU16String(programFolder(exeDir).path.u16string());
}

void setProgramDirectory(const QString& dir) {
    programDirOverride = dir;
}

void prepareApplication(QApplication& app) {
    initSkins();
    registerCpuMessages();
    app.setApplicationName(QStringLiteral("cpuconfig"));
    app.setApplicationVersion(QString::fromLatin1(kVersion));
    // Ties the windows to cpuconfig.desktop, for the icon and name the desktop shows.
    QGuiApplication::setDesktopFileName(QStringLiteral("cpuconfig"));
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
