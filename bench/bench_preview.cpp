// How long the preview pane takes for large files, and how fast the rich-text reader and
// the text decoding run. Run offscreen:  QT_QPA_PLATFORM=offscreen bench/bench_preview
#include "preview/PreviewRules.h"
#include "preview/QDPreview.h"
#include "preview/RtfReader.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

double medianMs(int runs, const std::function<void()>& work) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

std::string logText(std::size_t bytes, bool oneLine) {
    std::string text;
    text.reserve(bytes);
    const std::string line = "2026-12-06 12:00:00 card 17 answered 0x5A after 12 ms, status ok";
    while (text.size() < bytes) {
        text += line;
        text += oneLine ? ' ' : '\n';
    }
    text.resize(bytes);
    return text;
}

std::string richText(std::size_t bytes) {
    std::string rtf = "{\\rtf1\\ansi\\ansicpg936{\\fonttbl{\\f0 Arial;}}";
    while (rtf.size() < bytes) {
        rtf += "\\pard Card {\\b 17} answered {\\i quickly}, \\'d6\\'d0\\u20013? ok\\par\n";
    }
    return rtf + "}";
}

void writeFile(const QString& path, const std::string& data) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data.data(), qint64(data.size()));
    }
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);

    const std::string rtf = richText(1 << 20);
    const double rtfMs = medianMs(5, [&] { (void)cpuconfig::readRtf(rtf); });
    std::printf("readRtf, 1 MiB rich text:            %8.1f ms  (%.0f MiB/s)\n", rtfMs,
                1000.0 / rtfMs);
    const std::string utf8 = logText(1 << 20, false);
    const double utf8Ms = medianMs(5, [&] { (void)cpuconfig::decodeTextFile(utf8, true); });
    std::printf("decodeTextFile, 1 MiB UTF-8:         %8.1f ms\n", utf8Ms);
    std::string gbk = utf8;
    for (std::size_t i = 0; i + 1 < gbk.size(); i += 64) {
        gbk[i] = '\xD6';
        gbk[i + 1] = '\xD0';
    }
    const double gbkMs = medianMs(5, [&] { (void)cpuconfig::decodeTextFile(gbk, true); });
    std::printf("decodeTextFile, 1 MiB GBK:           %8.1f ms\n", gbkMs);

    const auto parsed = cpuconfig::readRtf(rtf);
    const double fillMs = medianMs(3, [&] {
        QTextDocument doc;
        cpuconfig::fillDocument(doc, *parsed, QFont());
    });
    std::printf("fillDocument, 1 MiB rich text:       %8.1f ms\n", fillMs);

    QTemporaryDir dir;
    struct Case {
        const char* label;
        QString name;
        std::string data;
    };
    const std::vector<Case> cases{
        {"pane, 1 MiB log (lines)", "lines.log", logText(1 << 20, false)},
        {"pane, 1 MiB log (one line)", "oneline.log", logText(1 << 20, true)},
        {"pane, 64 MiB log (head shown)", "huge.log", logText(64u << 20, false)},
        {"pane, 1 MiB rich text", "doc.rtf", rtf},
    };
    cpuconfig::TQDOpenPreviewDialog dlg(nullptr, 0x0409);
    dlg.resize(820, 440);
    dlg.show();
    app.processEvents();
    for (const auto& c : cases) {
        const QString path = dir.filePath(c.name);
        writeFile(path, c.data);
        const double ms = medianMs(3, [&] {
            emit dlg.currentChanged(path);
            app.processEvents();
        });
        std::printf("%-36s %8.1f ms\n", c.label, ms);
    }
    // What the head limit saves: the same 64 MiB log read, decoded and shown whole.
    QTextEdit viewer;
    viewer.resize(200, 300);
    viewer.show();
    const double whole = medianMs(1, [&] {
        QFile file(dir.filePath(QStringLiteral("huge.log")));
        if (!file.open(QIODevice::ReadOnly)) {
            return;
        }
        const QByteArray all = file.readAll();
        viewer.setPlainText(QString::fromStdString(
            cpuconfig::decodeTextFile({all.constData(), std::size_t(all.size())}, false)));
        app.processEvents();
    });
    std::printf("%-36s %8.1f ms\n", "64 MiB log shown whole (no limit)", whole);
    return 0;
}
