#include "shell/Application.h"

#include "common/Version.h"
#include "gui/MainWindowEvents.h"
#include "gui/WindowSupport.h"

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

// The skins live in a static library; their registration must be pulled in by hand.
static void initSkins() {
    Q_INIT_RESOURCE(skins);
}

namespace cpuconfig {

namespace {

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

// Texts Qt 6 asks for under a context that its Chinese catalogues (as Debian ships them)
// do not have yet: the open dialog's type column said "Folder" among Chinese.
class CatalogueGaps final : public QTranslator {
public:
    CatalogueGaps(bool traditional, QObject* parent)
        : QTranslator(parent), m_traditional(traditional) {}
    bool isEmpty() const override { return false; }
    QString translate(const char* context, const char* source, const char*, int) const override {
        struct Gap {
            const char* source;
            const char* simplified;
            const char* traditional;
        };
        static constexpr Gap kIconProvider[] = {
            {"Folder", "文件夹", "資料夾"}, {"File Folder", "文件夹", "資料夾"},
            {"Drive", "驱动器", "磁碟機"},  {"Shortcut", "快捷方式", "捷徑"},
            {"Alias", "替身", "替身"},      {"Unknown", "未知", "未知"}};
        if (context && source && std::strcmp(context, "QAbstractFileIconProvider") == 0)
            for (const Gap& gap : kIconProvider)
                if (std::strcmp(source, gap.source) == 0)
                    return QString::fromUtf8(m_traditional ? gap.traditional : gap.simplified);
        return {};
    }

private:
    bool m_traditional;
};

// Qt's own texts (the open dialog's labels, buttons and columns, the message boxes'
// buttons) in Chinese like the rest of the program, whatever language the machine is set
// to: a Chinese variant the user prefers when Qt has it (zh_TW), else zh_CN. Looked for
// beside the program first (a Windows copy carries translations/ with it), then where Qt
// keeps its own. None found: Qt's English texts stay.
void loadQtTranslation(QApplication& app) {
    QLocale chosen(QLocale::Chinese, QLocale::China);
    for (const QString& name : QLocale::system().uiLanguages()) {
        const QLocale preferred(name);
        if (preferred.language() == QLocale::Chinese) {
            chosen = preferred;
            break;
        }
    }
    const QStringList folders = {
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("translations")),
        QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
    for (const QLocale& locale : {chosen, QLocale(QLocale::Chinese, QLocale::China)}) {
        for (const QString& folder : folders) {
            auto* translator = new QTranslator(&app);
            if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder)) {
                // Asked last: what the catalogue has comes first.
                app.installTranslator(
                    new CatalogueGaps(locale.script() == QLocale::TraditionalChineseScript, &app));
                app.installTranslator(translator);
                // Dates and sizes in the open dialog read the Chinese way too.
                QLocale::setDefault(locale);
                return;
            }
            delete translator;
        }
    }
}

} // namespace

namespace {

constexpr char kNoDisplayMessage[] =
    "cpuconfig: a graphical session is needed and none could be opened; cpuctl does the same "
    "jobs from a terminal (cpuctl --help)\n";

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};

QtMessageHandler previousHandler = nullptr;
std::vector<HeldMessage> heldMessages;

void startHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        // Nothing has been shown yet and nothing is to be saved: end here, before Qt aborts.
        std::fputs(kNoDisplayMessage, stderr);
        std::fflush(stderr);
        std::_Exit(1);
    }
    heldMessages.push_back({type, QByteArray(context.category), text});
}

} // namespace

WindowSystemStart::WindowSystemStart() {
    previousHandler = qInstallMessageHandler(startHandler);
}

WindowSystemStart::~WindowSystemStart() {
    qInstallMessageHandler(previousHandler);
    for (const HeldMessage& m : heldMessages) {
        const QMessageLogContext context(nullptr, 0, nullptr, m.category.constData());
        qt_message_output(m.type, context, m.text);
    }
    heldMessages.clear();
}

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

void prepareApplication(QApplication& app) {
    initSkins();
    registerCpuMessages();
    app.setApplicationName(QStringLiteral("cpuconfig"));
    app.setApplicationVersion(QString::fromLatin1(kVersion));
    // Ties the windows to cpuconfig.desktop, for the icon and name the desktop shows.
    QGuiApplication::setDesktopFileName(QStringLiteral("cpuconfig"));
    app.setApplicationDisplayName(QStringLiteral("cpu升级"));
    app.setWindowIcon(QIcon(QStringLiteral(":/skins/app_icon.png")));
    loadQtTranslation(app);
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
