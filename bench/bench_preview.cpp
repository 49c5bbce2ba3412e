// How long the preview pane takes for large files, how long the GUI thread is kept busy
// while a large rich-text file is selected, and how fast the rich-text reader and the text
// decoding run. Run offscreen:  QT_QPA_PLATFORM=offscreen bench/bench_preview
#include "bench/GuiThreadGap.h"
#include "preview/PreviewRules.h"
#include "preview/RtfReader.h"
#include "preview/qt/QDPreview.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

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

// Russian text in a Cyrillic font, as a word processor set to Russian writes it: every
// letter a \'hh byte of code page 1251.
std::string cyrillicRichText(std::size_t bytes) {
    std::string rtf = "{\\rtf1\\ansi\\ansicpg1251\\deff0{\\fonttbl{\\f0\\fcharset204 Arial;}}";
    while (rtf.size() < bytes) {
        rtf += "\\pard \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2, {\\b \\'ec\\'e8\\'f0}! "
               "\\'ca\\'e0\\'f0\\'f2\\'e0 17 \\'ee\\'f2\\'e2\\'e5\\'f2\\'e8\\'eb\\'e0\\par\n";
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
    const std::string ru = cyrillicRichText(1 << 20);
    const double ruMs = medianMs(5, [&] { (void)cpuconfig::readRtf(ru); });
    std::printf("readRtf, 1 MiB Cyrillic rich text:   %8.1f ms\n", ruMs);
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
        {"pane, 16 MiB rich text", "big.rtf", richText(16u << 20)},
        {"pane, 1 MiB rich text, Cyrillic", "ru.rtf", cyrillicRichText(1 << 20)},
    };
    cpuconfig::TQDOpenPreviewDialog dlg(nullptr, 0x0409);
    dlg.resize(820, 440);
    dlg.show();
    app.processEvents();
    for (const auto& c : cases) {
        const QString path = dir.filePath(c.name);
        writeFile(path, c.data);
        const double ms = medianMs(5, [&] {
            emit dlg.currentChanged(path);
            app.processEvents();
        });
        std::printf("%-36s %8.1f ms\n", c.label, ms);
    }
    // The GUI thread while a 16 MiB rich-text file is selected: a 1 ms timer's longest gap
    // from the selection until a second later, lazy layout included.
    const QString big = dir.filePath(QStringLiteral("big.rtf"));
    const QString small = dir.filePath(QStringLiteral("lines.log"));
    std::vector<double> gaps;
    for (int round = 0; round < 5; ++round) {
        emit dlg.currentChanged(small);
        app.processEvents();
        GuiThreadGap gap;
        QElapsedTimer clock;
        clock.start();
        gap.start();
        QTimer::singleShot(5, &dlg, [&] { emit dlg.currentChanged(big); });
        while (clock.elapsed() < 1000) {
            app.processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        gap.stop();
        gaps.push_back(gap.longestMs());
    }
    std::sort(gaps.begin(), gaps.end());
    std::printf("%-36s %8.1f ms  (median %.1f ms, 5 selections)\n",
                "longest GUI gap, 16 MiB rich text", gaps.back(), gaps[gaps.size() / 2]);

    // What the shown limit saves: the 1 MiB document read and shown whole, as before.
    QTextEdit richViewer;
    richViewer.resize(dlg.previewText()->size());
    richViewer.show();
    const double richWhole = medianMs(3, [&] {
        richViewer.clear();
        const auto doc = cpuconfig::readRtf(rtf);
        cpuconfig::fillDocument(*richViewer.document(), *doc, richViewer.font());
        richViewer.repaint();
        app.processEvents();
    });
    std::printf("%-36s %8.1f ms\n", "1 MiB rich text shown whole", richWhole);

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
