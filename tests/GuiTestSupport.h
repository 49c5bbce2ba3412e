// Helpers shared by the window tests.
#pragma once

#include "link/Messages.h"
#include "package/PackageFormat.h"
#include "shell/Application.h"
#include "shell/MainWindowEvents.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <vector>

namespace cpuconfig::test {

inline void prepareTestApplication() {
    prepareApplication(*static_cast<QApplication*>(QCoreApplication::instance()));
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray hexBytes(const char* hex) {
    return QByteArray::fromHex(hex);
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

// Every text a signal carried, in order.
class TextRecorder : public QObject {
public:
    QStringList texts;
    void record(const QString& text) { texts << text; }
};

} // namespace cpuconfig::test
