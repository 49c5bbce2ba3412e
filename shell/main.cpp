// cpuconfig: the desktop program.
#include "shell/Application.h"
#include "shell/cpuConfig.h"

#include <QApplication>

int main(int argc, char** argv) {
    if (const auto rc = cpuconfig::answerInfoOptions(argc, argv))
        return *rc;
    QApplication app(argc, argv);
    cpuconfig::prepareApplication(app);
    cpuconfig::TForm1 form1;
    form1.show();
    return app.exec();
}
