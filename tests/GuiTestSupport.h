// Helpers shared by the window tests.
#pragma once

#include "gui/MainWindowEvents.h"
#include "gui/MainWindowMessages.h"
#include "package/PackageFormat.h"
#include "package/qt/OpenDialog.h"
#include "panel/PeiZhi.h"
#include "shell/Application.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <vector>

namespace cpuconfig::test {

inline void prepareTestApplication() {
    prepareApplication(*static_cast<QApplication*>(QCoreApplication::instance()));
}

// The application prepared, and folder (valid, fresh for the test case) as the program's
// folder, where the panel looks for the package.
inline bool useProgramFolder(const QTemporaryDir& folder) {
    prepareTestApplication();
    TPeiZhiForm::setProgramDirectory(folder.path());
    return folder.isValid();
}

inline QString t(const char* utf8) {
    return QString::fromUtf8(utf8);
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A package of n image bytes in the builder's layout with a fixed date.
inline QByteArray demoPackage(std::size_t n, char model = 'N') {
    QByteArray bytes;
    bytes.append(model).append("1.7").append(3, '\0').append('2');
    for (std::size_t i = 0; i < n; ++i)
        bytes.append(static_cast<char>(nibbleSwap(static_cast<std::uint8_t>(i * 31 + 7))));
    const Trailer t = makeTrailer(DateTime{2026, 12, 6, 14, 30, 5, 7});
    bytes.append(reinterpret_cast<const char*>(t.data()), qsizetype(t.size()));
    return bytes;
}

inline void sendMessage(QObject* target, unsigned message, std::uintptr_t wParam,
                        std::intptr_t lParam) {
    CpuMessageEvent event(message, wParam, lParam);
    QCoreApplication::sendEvent(target, &event);
}

// Answers the question a window asks in a message box; false when none is open.
inline bool answerQuestion(QWidget* window, QMessageBox::StandardButton answer) {
    for (QMessageBox* box : window->findChildren<QMessageBox*>())
        if (box->isVisible() && box->button(answer)) {
            box->button(answer)->click();
            return true;
        }
    return false;
}

// The menu as the technician reads it, a separator as "-".
inline QStringList menuTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* a : menu->actions())
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return texts;
}

inline QAction* menuItem(const QMenu* menu, const char* text) {
    for (QAction* a : menu->actions())
        if (a->text() == QString::fromUtf8(text))
            return a;
    return nullptr;
}

// The open dialog as a technician would use it, scripted: whileOpen runs while it is
// open, and an empty choice is Cancel.
class ScriptedOpenDialog final : public OpenDialog {
public:
    explicit ScriptedOpenDialog(QString choice, std::function<void()> whileOpen = {},
                                int* execs = nullptr)
        : m_choice(std::move(choice)), m_whileOpen(std::move(whileOpen)), m_execs(execs) {}
    void setTitle(const QString&) override {}
    void setFilter(const QString&) override {}
    void setInitialDir(const QString&) override {}
    bool exec() override {
        if (m_execs)
            ++*m_execs;
        if (m_whileOpen)
            m_whileOpen();
        return !m_choice.isEmpty();
    }
    QString fileName() const override { return m_choice; }

private:
    QString m_choice;
    std::function<void()> m_whileOpen;
    int* m_execs;
};

// Every text a signal carried, in order.
struct TextRecorder : QObject {
    QStringList texts;
    void record(const QString& text) { texts << text; }
};

} // namespace cpuconfig::test
