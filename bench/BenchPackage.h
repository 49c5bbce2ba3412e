// A package of imageBytes bytes of image for the benchmarks that upgrade through the windows,
// model A, with a fixed date.
#pragma once

#include "package/PackageFormat.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>

inline bool writeBenchPackage(const QString& path, std::size_t imageBytes) {
    QByteArray bytes("A1.7\0\0\0"
                     "2",
                     8);
    bytes.reserve(qsizetype(imageBytes + 16));
    for (std::size_t i = 0; i < imageBytes; ++i)
        bytes.append(char(cpuconfig::nibbleSwap(std::uint8_t(i * 13 + 1))));
    const cpuconfig::Trailer t =
        cpuconfig::makeTrailer(cpuconfig::DateTime{2026, 12, 6, 12, 0, 0, 7});
    bytes.append(reinterpret_cast<const char*>(t.data()), qsizetype(t.size()));
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
