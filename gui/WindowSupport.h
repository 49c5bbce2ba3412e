// What every window needs from the program around it, below the main window: the folder it
// keeps RQ_CPU.cpu in and the pixel font heights its layout was drawn with.
#pragma once

#include <QString>

class QWidget;

namespace cpuconfig {

// The program's folder, where RQ_CPU.cpu is kept (common/ProgramFolder.h), unless a test
// or the screenshots set their own.
QString programDirectory();
void setProgramDirectory(const QString& dir);

// Font heights in the layouts are in pixels (property fontPixelSize), as the windows were
// drawn; applied to each widget that carries one, parents first so children inherit.
void applyFontPixelSizes(QWidget* root);

// The last part of a port's name, which tells ports apart where room is short: ttyUSB0,
// SIM1, COM3.
QString shortPortName(const QString& device);

} // namespace cpuconfig
