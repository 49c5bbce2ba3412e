// The open dialog in which the raw image is chosen, as the generation worker drives it.
#pragma once

#include <QString>

#include <memory>

class QWidget;

namespace cpuconfig {

class OpenDialog {
public:
    virtual ~OpenDialog() = default;
    virtual void setTitle(const QString& title) = 0;
    // A Qt filter, e.g. "配置文件 (*.bin)".
    virtual void setFilter(const QString& filter) = 0;
    virtual void setInitialDir(const QString& dir) = 0;
    // Runs modally on the GUI thread; true when a file was chosen.
    virtual bool exec() = 0;
    // The chosen file's full path.
    virtual QString fileName() const = 0;
};

// dlg1 as the package tool's layout sets it: the preview open dialog with no title of its
// own (the worker's is shown), its preview pane and word-wrap-and-scale on.
std::unique_ptr<OpenDialog> makeOpenDialog(QWidget* parent);

} // namespace cpuconfig
