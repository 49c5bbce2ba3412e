// The preview's sound: one file at a time, played once and asynchronously, with no default
// sound when the file cannot be played. A new play replaces a sound that plays. Windows
// plays it with the system's own sound service (winmm), elsewhere Qt Multimedia does.
#pragma once

#include "common/NonCopyable.h"

#include <QString>

#include <memory>

namespace cpuconfig {

class PreviewSound : NonCopyable {
public:
    PreviewSound();
    ~PreviewSound();

    // Errors are not reported: a sound that cannot start leaves the pane as it is.
    void play(const QString& path);
    void stop();

private:
    struct Player;
    std::unique_ptr<Player> m_player; // made at the first play
};

} // namespace cpuconfig
