// Writes pictures of the windows for the documentation:
//   QT_QPA_PLATFORM=offscreen build/shell/cpuconfig_screenshots docs/screenshots
// The panel shows a demo package; the second picture catches an upgrade half way; the
// port list is shown open, with a simulated card under a long name and its description;
// the preview pane shows a text, a picture, a file it can only name, and rich text in
// Russian, Greek, Japanese and the Symbol font, as text and as a SYMBOL field.
#include "gui/MainWindowMessages.h"
#ifndef _WIN32
#include "sim/Simulator.h"
#endif
#include "gui/MainWindowEvents.h"
#include "package/PackageFormat.h"
#include "preview/qt/QDPreview.h"
#include "shell/Application.h"
#include "shell/cpuConfig.h"
#include "shell/passdlg.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolTip>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

using namespace cpuconfig;

namespace {

bool writeDemoPackage(const QString& path, int imageBytes = 4096) {
    std::vector<std::uint8_t> bytes = {'N', '1', '.', '7', 0, 0, 0, '2'};
    for (int i = 0; i < imageBytes; ++i)
        bytes.push_back(nibbleSwap(static_cast<std::uint8_t>(i * 7 + 3)));
    const Trailer t = makeTrailer(DateTime{2026, 12, 6, 14, 30, 5, 7});
    bytes.insert(bytes.end(), t.begin(), t.end());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(reinterpret_cast<const char*>(bytes.data()),
                                                   qint64(bytes.size())) == qint64(bytes.size());
}

bool save(QWidget* w, const QDir& dir, const char* name) {
    QApplication::processEvents();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!w->grab().save(path, "PNG")) {
        std::fprintf(stderr, "cpuconfig_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The window with the windows over it (a drop-down list, a tooltip, a question) drawn
// where they stand on the screen, as the technician sees them.
bool saveLayered(QWidget* w, const std::vector<QWidget*>& over, const QDir& dir, const char* name) {
    std::vector<std::pair<QPoint, QPixmap>> layers{{QPoint(0, 0), w->grab()}};
    for (QWidget* top : over)
        layers.emplace_back(w->mapFromGlobal(top->mapToGlobal(QPoint(0, 0))), top->grab());
    QRect bounds;
    for (const auto& [at, pixmap] : layers)
        bounds |= QRect(at, pixmap.size());
    QPixmap canvas(bounds.size());
    canvas.fill(Qt::white);
    QPainter painter(&canvas);
    for (const auto& [at, pixmap] : layers)
        painter.drawPixmap(at - bounds.topLeft(), pixmap);
    painter.end();
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!canvas.save(path, "PNG")) {
        std::fprintf(stderr, "cpuconfig_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// The open drop-down list, with the tooltip of its last entry.
bool saveWithPopup(QWidget* w, QComboBox* box, const QDir& dir, const char* name) {
    box->showPopup();
    QApplication::processEvents();
    std::vector<QWidget*> over{box->view()->window()};
    const int last = box->count() - 1;
    const QRect item = box->view()->visualRect(box->model()->index(last, 0));
    QToolTip::showText(box->view()->viewport()->mapToGlobal(item.bottomLeft() + QPoint(20, 4)),
                       box->itemData(last, Qt::ToolTipRole).toString(), box->view());
    QApplication::processEvents();
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->inherits("QTipLabel") && top->isVisible())
            over.push_back(top);
    const bool ok = saveLayered(w, over, dir, name);
    QToolTip::hideText();
    box->hidePopup();
    return ok;
}

void message(QWidget* w, unsigned m, std::uintptr_t wp, std::intptr_t lp) {
    CpuMessageEvent e(m, wp, lp);
    QApplication::sendEvent(w, &e);
}

} // namespace

// The station window on four ports in four states: a card done and still connected, one
// failed, one half way through (a card on a line that keeps time), one port without a card.
// The ports are the simulated cards started here (Linux), or the COM ports that
// tools/screenshots-windows.sh maps onto cards of the Linux cpuctl.
bool stationPicture(TForm1& form1, const QDir& out, const QString& programDir) {
    // 64 KiB: long enough on a line at 115200 baud to be caught half way.
    if (!writeDemoPackage(QDir(programDir).filePath(QString::fromLatin1(kPackageFileName)),
                          64 * 1024))
        return false;
#ifdef _WIN32
    const QStringList names{"COM21", "COM22", "COM23", "COM24"};
#else
    const QStringList names{"LINE-1", "LINE-2", "LINE-3", "LINE-4"};
    struct Card {
        std::unique_ptr<Simulator> sim;
        std::jthread thread;
    };
    std::vector<Card> cards;
    for (int i = 0; i < 4; ++i) {
        SimulatorOptions o;
        o.model = i == 1 ? "QX-7" : "QX-9";
        o.fault = i == 1 ? SimFault::Nak : SimFault::None;
        o.baudLimit = i == 2;
        auto sim = Simulator::create(o);
        if (!sim || !(*sim)->registerPort(names[i].toStdString()))
            return false;
        Card card{std::move(*sim), {}};
        if (i < 3) // the fourth is listed, and nothing answers on its line
            card.thread =
                std::jthread([s = card.sim.get()](std::stop_token stop) { s->run(stop); });
        cards.push_back(std::move(card));
    }
#endif
    form1.MyNs4Click();
    TStationForm* station = form1.stationForm();
    station->setOptionsHook([](StationOptions& o) { o.poll = std::chrono::milliseconds(50); });
    station->resize(980, 600);
    auto* list = station->findChild<QListWidget*>(QStringLiteral("lstPorts"));
    for (int i = 0; i < list->count(); ++i) {
        const QString device = list->item(i)->data(Qt::UserRole).toString();
        if (names.contains(device.mid(device.lastIndexOf(QLatin1Char('/')) + 1)))
            list->item(i)->setCheckState(Qt::Checked);
    }
    if (!station->start())
        return false;
    const QStringList wanted{"remove", "failed", "upgrading"};
    QElapsedTimer waited;
    waited.start();
    auto arrived = [&] {
        const auto& tiles = station->tiles();
        if (tiles.size() < 3)
            return false;
        for (std::size_t i = 0; i < 3; ++i)
            if (tiles[i]->tone() != wanted[int(i)])
                return false;
        auto* bar = tiles[2]->findChild<QProgressBar*>();
        return bar && bar->value() >= 30;
    };
    while (!arrived() && waited.elapsed() < 20000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    const bool ok = arrived() && save(station, out, "station.png");
    if (!ok)
        std::fprintf(stderr, "screenshots: the station did not reach its four states\n");
    QEventLoop loop;
    QObject::connect(station, &TStationForm::stationEnded, &loop, &QEventLoop::quit);
    station->stop();
    if (station->running())
        loop.exec();
    station->close();
    return ok;
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    prepareApplication(app);
    // Absolute: the panel moves the current directory to the program's.
    const QDir out(
        QDir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".")).absolutePath());
    QTemporaryDir programDir;
    if (!QDir().mkpath(out.path()) || !programDir.isValid() ||
        !writeDemoPackage(programDir.filePath(QString::fromLatin1(kPackageFileName))))
        return 1;
    TPeiZhiForm::setProgramDirectory(programDir.path());

#ifndef _WIN32
    // A simulated card with a name longer than the port box, in a ports folder of our own.
    // A fixed folder, so that the picture is the same from one run to the next.
    const QString runtime = QDir::temp().filePath(QStringLiteral("cpuconfig-screens"));
    QDir(runtime).removeRecursively();
    QDir().mkpath(runtime);
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    SimulatorOptions card;
    card.screen = 5;
    card.model = "QX-9";
    auto sim = Simulator::create(card);
    if (sim)
        (void)(*sim)->registerPort("PRODUCTION-LINE-7");
#endif

    TForm1 form1;
    form1.show();
    bool ok = save(&form1, out, "main_window.png");
    ok &= save(form1.peiZhiForm(), out, "panel.png");
    if (auto* ports = form1.peiZhiForm()->findChild<QComboBox*>(QStringLiteral("cbb2")))
        ok &= saveWithPopup(&form1, ports, out, "panel_ports.png");

    // An upgrade under way (a worker that waits, the progress as messages), then the question
    // on closing, answered "否", then the upgrade's end.
    std::atomic<bool> answered{false};
    form1.setUpgradeRoutine(
        [&answered](MainWindowLink&, const SelectionProvider&, std::stop_token stop) {
            while (!stop.stop_requested() && !answered)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
    message(&form1, WM_CPU_START, 0, 0);
    const std::uintptr_t max = 4096 + 16 + 7;
    message(&form1, WM_CPU_PROGRESS, 1, kProgressVisible);
    message(&form1, WM_CPU_PROGRESS, 0, kProgressMinimum);
    message(&form1, WM_CPU_PROGRESS, max, kProgressMaximum);
    message(&form1, WM_CPU_PROGRESS, max * 3 / 5, kProgressPosition);
    if (auto* model = form1.peiZhiForm()->findChild<QLabel*>(QStringLiteral("lbl6")))
        model->setText(QStringLiteral("N2"));
    ok &= save(&form1, out, "main_window_upgrading.png");
    form1.img2Click();
    QApplication::processEvents();
    if (auto* question = form1.findChild<QMessageBox*>()) {
        ok &= saveLayered(&form1, {question}, out, "main_window_close_question.png");
        question->button(QMessageBox::No)->click();
    } else {
        ok = false;
    }
    answered = true;
    QElapsedTimer ending;
    ending.start();
    while (form1.runningUpgrades() > 0 && ending.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    QApplication::processEvents(); // the upgrade's end: the buttons come back
    message(&form1, WM_CPU_PROGRESS, max, kProgressPosition);
    message(&form1, WM_CPU_RESULT, 0, 0);
    ok &= save(&form1, out, "main_window_done.png");

    // Service mode: the password dialog after an empty OK, then the package tool mid-build.
    TForm2* form2 = form1.form2();
    form2->prepareShow(&form1);
    form2->show();
    form2->btn1Click();
    if (auto* edit = form2->findChild<QLineEdit*>(QStringLiteral("edt1")))
        edit->setText(QStringLiteral("abcdef"));
    ok &= save(form2, out, "passdlg.png");
    form2->hide();
    form1.CPU1Click();
    if (auto* bar = form1.sjForm()->findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))) {
        bar->setRange(0, 100);
        bar->setValue(40);
        bar->show();
    }
    ok &= save(form1.sjForm(), out, "package_tool.png");
    ok &= save(&form1, out, "main_window_package_tool.png");
    ok &= stationPicture(form1, out, programDir.path());
#ifndef _WIN32
    sim = makeError(ErrorCode::Usage, "");
    QDir(runtime).removeRecursively();
#endif

    // The preview pane with a text, a picture and a file it can only name, each clicked
    // in the dialog's list as a technician would.
    QTemporaryDir previewDir;
    QFile readme(previewDir.filePath(QStringLiteral("readme.txt")));
    const QByteArray text =
        "LED controller firmware\r\n\r\nModel N, card version 2, CPU version 1.7.\r\n"
        "Copy RQ_CPU.cpu into the program's folder before upgrading.\r\n";
    ok &= readme.open(QIODevice::WriteOnly) && readme.write(text) == text.size();
    readme.close();
    QImage picture(640, 400, QImage::Format_RGB32);
    {
        QPainter p(&picture);
        QLinearGradient sky(0, 0, 0, 400);
        sky.setColorAt(0, QColor(90, 150, 230));
        sky.setColorAt(1, QColor(220, 235, 255));
        p.fillRect(picture.rect(), sky);
        p.setBrush(QColor(250, 210, 60));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(480, 110), 50, 50);
        p.setBrush(QColor(60, 140, 70));
        p.drawPolygon(QPolygon({QPoint(0, 400), QPoint(180, 200), QPoint(360, 400)}));
        p.drawPolygon(QPolygon({QPoint(250, 400), QPoint(450, 230), QPoint(640, 400)}));
    }
    ok &= picture.save(previewDir.filePath(QStringLiteral("panel.bmp")), "BMP");
    ok &= writeDemoPackage(previewDir.filePath(QStringLiteral("fw.bin")));
    {
        TQDOpenPreviewDialog dlg(nullptr, 0x0804);
        dlg.setWindowTitle(QStringLiteral("选择文件"));
        dlg.setDirectory(previewDir.path());
        dlg.resize(820, 440);
        dlg.show();
        auto* view = dlg.findChild<QListView*>(QStringLiteral("listView"));
        auto* model = view ? qobject_cast<QFileSystemModel*>(view->model()) : nullptr;
        const std::pair<const char*, const char*> shots[] = {{"readme.txt", "preview-text.png"},
                                                             {"panel.bmp", "preview-picture.png"},
                                                             {"fw.bin", "preview-bin.png"}};
        for (const auto& [name, shot] : shots) {
            const QString path = previewDir.filePath(QString::fromLatin1(name));
            QElapsedTimer listed;
            listed.start();
            while (model && !model->index(path).isValid() && listed.elapsed() < 5000)
                QApplication::processEvents(QEventLoop::AllEvents, 50);
            if (!model || !model->index(path).isValid()) {
                ok = false;
                continue;
            }
            view->setCurrentIndex(model->index(path));
            QApplication::processEvents();
            ok &= save(&dlg, out, shot);
        }
    }

    QFile rtf(programDir.filePath(QStringLiteral("samples.rtf")));
    const QByteArray samples =
        R"({\rtf1\ansi\ansicpg1252{\fonttbl{\f0\fcharset204 Arial;}{\f1\fcharset161 Arial;})"
        R"({\f2\fcharset128 MS Gothic;}{\f3\fcharset2 Symbol;}}\f0 \'cf\'f0\'e8\'e2\'e5\'f2, )"
        R"({\b \'ec\'e8\'f0}!\par\f1 \'c3\'e5\'e9\'dc \'f3\'ef\'f5\par\f2 \'93\'fa\'96\'7b\'8c\'ea)"
        R"(\par\f3 <Ab\'e5 a\'b3b \'22x\'ce\'c2\f0  )"
        R"({\field{\*\fldinst SYMBOL 87 \\f "Symbol" \\s 12}{\fldrslt }}\par})";
    if (rtf.open(QIODevice::WriteOnly) && rtf.write(samples) == samples.size()) {
        rtf.close();
        TQDOpenPreviewDialog dlg(nullptr, 0x0804);
        dlg.setDirectory(programDir.path());
        dlg.resize(820, 440);
        dlg.show();
        dlg.selectFile(rtf.fileName());
        QApplication::processEvents();
        emit dlg.currentChanged(rtf.fileName());
        ok &= save(&dlg, out, "preview-rich-text.png");
    } else {
        ok = false;
    }
    return ok ? 0 : 1;
}
