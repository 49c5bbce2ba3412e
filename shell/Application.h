// What every process showing the windows needs before the first one is created: the
// compiled-in skins, the message numbers, the fonts the layouts name, the icon.
#pragma once

#include "common/NonCopyable.h"

#include <QString>

#include <optional>

class QApplication;

namespace cpuconfig {

// --help and --version, answered before the window system is needed (the manual page is
// made from them at build time, without a display). The exit code when one was given.
std::optional<int> answerInfoOptions(int argc, char** argv);

// Held around the construction of the application object. Where no window can be opened
// (no display, a display that does not answer), Qt would abort with advice about
// reinstalling; instead the program says in one line what it needs and what can be used
// instead, and ends with exit code 1. Qt's own messages from the start are held back and
// passed on once the windows can be opened.
class WindowSystemStart : NonCopyable {
public:
    WindowSystemStart();
    ~WindowSystemStart();
};

void prepareApplication(QApplication& app);

} // namespace cpuconfig
