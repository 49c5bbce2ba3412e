// cpuconfig: the desktop program.
#include "shell/Application.h"
#include "shell/cpuConfig.h"

#include <QApplication>

#include <optional>

int main(int argc, char** argv) {
    if (const auto rc = cpuconfig::answerInfoOptions(argc, argv))
        return *rc;
    std::optional<cpuconfig::WindowSystemStart> start(std::in_place);
    QApplication app(argc, argv);
    start.reset();
    cpuconfig::prepareApplication(app);
    cpuconfig::TForm1 form1;
    form1.show();
    return app.exec();
}
