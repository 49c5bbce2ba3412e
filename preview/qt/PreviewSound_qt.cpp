#include "preview/qt/PreviewSound.h"

#include <QSoundEffect>
#include <QUrl>

namespace cpuconfig {

struct PreviewSound::Player {
    QSoundEffect effect;
};

PreviewSound::PreviewSound() = default;
PreviewSound::~PreviewSound() = default;

void PreviewSound::play(const QString& path) {
    if (!m_player) {
        m_player = std::make_unique<Player>();
    }
    m_player->effect.setSource(QUrl::fromLocalFile(path));
    m_player->effect.setLoopCount(1);
    m_player->effect.play();
}

void PreviewSound::stop() {
    if (m_player) {
        m_player->effect.stop();
        m_player->effect.setSource(QUrl());
    }
}

} // namespace cpuconfig
