#include "preview/qt/PreviewSound.h"

#include <windows.h>

#include <mmsystem.h>

namespace cpuconfig {

struct PreviewSound::Player {};

PreviewSound::PreviewSound() = default;
PreviewSound::~PreviewSound() {
    stop();
}

void PreviewSound::play(const QString& path) {
    // Asynchronous and without the default sound: a file winmm cannot play stays silent.
    const std::wstring file = path.toStdWString();
    PlaySoundW(file.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
}

void PreviewSound::stop() {
    PlaySoundW(nullptr, nullptr, 0);
}

} // namespace cpuconfig
