#include "station/StationWindow.h"
#include "ui_StationWindow.h"

#include "common/FileIo.h"
#include "common/Gbk.h"
#include "common/Texts.h"
#include "gui/QueuedCall.h"
#include "gui/WindowSupport.h"
#include "link/PortInfo.h"
#include "link/PortList.h"
#include "link/Protocol.h"
#include "link/StationLog.h"
#include "package/PackageFormat.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QResizeEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cmath>

namespace cpuconfig {
namespace {

QString fromGbk(const std::string& bytes) {
    return QString::fromStdString(gbkToUtf8(bytes));
}

QString u8(const std::string& text) {
    return QString::fromStdString(text);
}

std::filesystem::path toPath(const QString& s) {
    return std::filesystem::path(s.toStdU16String());
}

// The tiles' colours, read from across the bench: background, then text.
struct Tone {
    const char* name;
    const char* background;
    const char* text;
};
constexpr Tone kTones[] = {
    {"waiting", "#f4f4f4", "#404040"},   {"missing", "#dcdcdc", "#707070"},
    {"busy", "#ffd9a0", "#603000"},      {"found", "#cfe3ff", "#0b3d91"},
    {"upgrading", "#cfe3ff", "#0b3d91"}, {"done", "#bfeabf", "#0a5c0a"},
    {"failed", "#ff8080", "#600000"},    {"remove", "#bfeabf", "#0a5c0a"},
};

const Tone& toneNamed(const QString& name) {
    for (const Tone& t : kTones)
        if (name == QLatin1String(t.name))
            return t;
    return kTones[0];
}

constexpr int kTileWidth = 210;

QString secondsText(double seconds) {
    if (seconds < 0)
        return {};
    const long s = std::lround(seconds);
    return s >= 60
               ? QStringLiteral("剩余 %1 分 %2 秒").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'))
               : QStringLiteral("剩余 %1 秒").arg(s);
}

} // namespace

StationTile::StationTile(const QString& device, const QString& description, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("tile_") + shortPortName(device));
    setAttribute(Qt::WA_StyledBackground);
    setMinimumSize(kTileWidth, 130);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->setSpacing(4);
    auto* name = new QLabel(shortPortName(device), this);
    QFont big = name->font();
    big.setPixelSize(20);
    big.setBold(true);
    name->setFont(big);
    auto* about = new QLabel(description.isEmpty() ? device : description, this);
    about->setWordWrap(true);
    about->setToolTip(device +
                      (description.isEmpty() ? QString() : QStringLiteral("\n") + description));
    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("state"));
    m_state->setWordWrap(true);
    QFont bold = m_state->font();
    bold.setPixelSize(15);
    bold.setBold(true);
    m_state->setFont(bold);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 100);
    m_bar->setTextVisible(true);
    m_left = new QLabel(this);
    layout->addWidget(name);
    layout->addWidget(about);
    layout->addWidget(m_state);
    layout->addWidget(m_bar);
    layout->addWidget(m_left);
    layout->addStretch();
    showState(TileState{});
}

void StationTile::showState(const TileState& t) {
    // What a tile says in each state, in PortState's order: its words, its colour, and what
    // follows the words. A card still connected says how its upgrade ended.
    enum Adds { Nothing, Detail, Model };
    struct Look {
        const char* words;
        const char* tone;
        Adds adds;
    };
    static constexpr std::array<Look, 10> kLooks{{
        {"等待控制卡", "waiting", Nothing},
        {"串口不存在", "missing", Nothing},
        {"串口被占用", "busy", Nothing},
        {"串口故障：", "busy", Detail},
        {"发现控制卡 ", "found", Model},
        {"正在升级 ", "upgrading", Model},
        {"完成：", "done", Detail},
        {"失败：", "failed", Detail},
        {"完成，请取下控制卡", "remove", Nothing},
        {"日志无法写入，已停止：", "failed", Detail},
    }};
    static_assert(kLooks.size() == static_cast<std::size_t>(PortState::NotLogged) + 1);
    const bool failedStillThere = t.state == PortState::StillConnected && t.failed;
    const Look& look = failedStillThere ? Look{"失败，请取下控制卡", "failed", Nothing}
                                        : kLooks.at(static_cast<std::size_t>(t.state));
    QString text = QString::fromUtf8(look.words);
    if (look.adds == Detail)
        text += u8(t.detail);
    else if (look.adds == Model)
        text += fromGbk(t.model);
    const QString tone = QString::fromLatin1(look.tone);
    const bool upgrading = t.state == PortState::Upgrading;
    m_state->setText(text);
    m_state->setToolTip(text);
    const int percent =
        t.total > 0 ? static_cast<int>(std::min<std::uint64_t>(100, t.sent * 100 / t.total)) : 0;
    m_bar->setValue(upgrading ? percent : 0);
    m_bar->setVisible(upgrading);
    m_left->setText(upgrading ? secondsText(t.secondsLeft) : QString());
    if (tone != m_tone) {
        m_tone = tone;
        const Tone& c = toneNamed(tone);
        setStyleSheet(QStringLiteral("cpuconfig--StationTile { background-color: %1; border: 1px "
                                     "solid #a0a0a0; border-radius: 6px; } QLabel { color: %2; }")
                          .arg(QLatin1String(c.background), QLatin1String(c.text)));
    }
}

QString StationTile::stateText() const {
    return m_state->text();
}

TStationForm::TStationForm(QWidget* parent) : QWidget(parent), ui(new Ui::TStationForm) {
    ui->setupUi(this);
    setWindowFlags(Qt::Window);
    applyFontPixelSizes(this);
    for (int screen = protocol::kFirstScreen; screen <= protocol::kLastScreen; ++screen)
        ui->cbbPingNo->addItem(QString::number(screen));
    ui->cbbBaud->setCurrentText(QStringLiteral("115200"));
    ui->txtLog->setMaximumBlockCount(200);
    connect(ui->btnStart, &QAbstractButton::clicked, this, [this] { start(); });
    connect(ui->btnStop, &QAbstractButton::clicked, this, &TStationForm::stop);
    connect(ui->btnRefresh, &QAbstractButton::clicked, this, &TStationForm::refreshChoices);
    connect(ui->chkAllUsb, &QCheckBox::toggled, ui->lstPorts, &QWidget::setDisabled);
    connect(ui->edtLog, &QLineEdit::textEdited, this, [this] { m_logEdited = true; });
    connect(ui->btnLog, &QAbstractButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getSaveFileName(
            this, QStringLiteral("日志文件"), ui->edtLog->text(), QStringLiteral("日志 (*.jsonl)"),
            nullptr, QFileDialog::DontConfirmOverwrite);
        if (!chosen.isEmpty()) {
            ui->edtLog->setText(QDir::toNativeSeparators(chosen));
            m_logEdited = true;
        }
    });
    ui->lblTotals->setText(totalsText());
    // The rate per hour moves with the clock, also while no card comes.
    m_clock = new QTimer(this);
    m_clock->setInterval(1000);
    connect(m_clock, &QTimer::timeout, this, [this] { ui->lblTotals->setText(totalsText()); });
    refreshChoices();
}

TStationForm::~TStationForm() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join(); // transfers in flight end their block and close their ports
    }
}

void TStationForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!running())
        refreshChoices();
}

void TStationForm::closeEvent(QCloseEvent* event) {
    if (running()) {
        // Closed once every port is free: a card cut off mid-write may not start again.
        m_closeWhenEnded = true;
        stop();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TStationForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layOutTiles();
}

void TStationForm::layOutTiles() {
    // As many columns as fit side by side, rows from the top; what is left stays empty.
    const int room = ui->scrTiles->viewport()->width() - 2 * ui->layTiles->contentsMargins().left();
    const int columns =
        std::max(1, (room + ui->layTiles->spacing()) / (kTileWidth + ui->layTiles->spacing()));
    if (columns == m_columns && ui->layTiles->count() == static_cast<int>(m_tiles.size()))
        return;
    m_columns = columns;
    for (StationTile* tile : m_tiles)
        ui->layTiles->removeWidget(tile);
    for (int r = 0; r < ui->layTiles->rowCount(); ++r)
        ui->layTiles->setRowStretch(r, 0);
    for (std::size_t i = 0; i < m_tiles.size(); ++i)
        ui->layTiles->addWidget(m_tiles[i], static_cast<int>(i) / columns,
                                static_cast<int>(i) % columns);
    const int rows = (static_cast<int>(m_tiles.size()) + columns - 1) / columns;
    ui->layTiles->setRowStretch(rows, 1);
}

void TStationForm::refreshChoices() {
    refreshPorts();
    refreshPackage();
}

void TStationForm::refreshPorts() {
    QStringList checked;
    for (int i = 0; i < ui->lstPorts->count(); ++i)
        if (ui->lstPorts->item(i)->checkState() == Qt::Checked)
            checked << ui->lstPorts->item(i)->data(Qt::UserRole).toString();
    ui->lstPorts->clear();
    std::vector<PortInfo> ports = describeSerialPorts();
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return portNameLess(a.device, b.device);
    });
    for (const PortInfo& port : ports) {
        const QString device = u8(port.device);
        const QString about = u8(port.description());
        auto* item = new QListWidgetItem(
            shortPortName(device) + (about.isEmpty() ? QString() : QStringLiteral("  ") + about),
            ui->lstPorts);
        item->setData(Qt::UserRole, device);
        item->setData(Qt::UserRole + 1, !port.vendorId.empty()); // a USB adapter
        item->setData(Qt::UserRole + 2, about);
        item->setToolTip(device + (about.isEmpty() ? QString() : QStringLiteral("\n") + about));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(checked.contains(device) ? Qt::Checked : Qt::Unchecked);
    }
}

void TStationForm::refreshPackage() {
    const QString dir = programDirectory();
    const QString package = QDir(dir).filePath(QString::fromUtf8(kPackageFileName));
    ui->grpPackage->setToolTip(QDir::toNativeSeparators(package));
    auto info = inspectPackage(toPath(package));
    const bool usable = info && !info->problem;
    ui->lblModel->setText(info ? fromGbk(info->details.model) : QString());
    ui->lblCpuVersion->setText(info ? fromGbk(info->details.cpuVersion) : QString());
    ui->lblDate->setText(info ? u8(info->details.dateText) : QString());
    ui->lblSha->setText(info ? u8(info->imageSha256.substr(0, 16)) + QStringLiteral("…")
                             : QString());
    ui->lblSha->setToolTip(info ? QStringLiteral("映像 ") + u8(info->imageSha256) +
                                      QStringLiteral("\n文件 ") + u8(info->packageSha256)
                                : QString());
    ui->lblPackageNote->setText(usable
                                    ? QString()
                                    : QString::fromUtf8(text::kNoPackage) + QStringLiteral("：") +
                                          u8(info ? info->problem->message : info.error().message));
    ui->lblPackageNote->setVisible(!usable);
    if (!m_logEdited)
        ui->edtLog->setText(QDir::toNativeSeparators(QDir(dir).filePath(u8(stationLogName()))));
}

std::vector<const QListWidgetItem*> TStationForm::chosenPorts() const {
    std::vector<const QListWidgetItem*> chosen;
    const bool allUsb = ui->chkAllUsb->isChecked();
    for (int i = 0; i < ui->lstPorts->count(); ++i) {
        const QListWidgetItem* item = ui->lstPorts->item(i);
        if (allUsb ? item->data(Qt::UserRole + 1).toBool() : item->checkState() == Qt::Checked)
            chosen.push_back(item);
    }
    return chosen;
}

QString TStationForm::totalsText() const {
    return totalsText(m_board ? m_board->totals() : BoardTotals{});
}

QString TStationForm::totalsText(const BoardTotals& t) {
    const double perHour = t.perHour();
    QString text =
        QStringLiteral("完成 %1　失败 %2　每小时 %3 张　平均 %4 秒/张")
            .arg(t.done)
            .arg(t.failed)
            .arg(perHour > 0 ? QString::number(std::lround(perHour)) : QStringLiteral("—"))
            .arg(t.average(), 0, 'f', 1);
    if (t.notLogged > 0)
        text += QStringLiteral("　未记入日志 %1").arg(t.notLogged);
    return text;
}

void TStationForm::note(const QString& text) {
    ui->txtLog->appendPlainText(text);
}

bool TStationForm::start() {
    if (running())
        return false;
    if (ui->chkAllUsb->isChecked())
        refreshPorts(); // every USB adapter there now
    const std::vector<const QListWidgetItem*> chosen = chosenPorts();
    std::vector<std::string> ports;
    for (const QListWidgetItem* item : chosen)
        ports.push_back(item->data(Qt::UserRole).toString().toStdString());
    if (ports.empty()) {
        note(QStringLiteral("请选择串口"));
        return false;
    }
    const QString logPath = ui->edtLog->text().trimmed();
    auto log = DurableLog::open(toPath(logPath));
    if (!log) {
        note(QStringLiteral("日志文件无法打开：") + u8(log.error().message));
        return false;
    }
    m_log = std::make_unique<DurableLog>(std::move(*log));
    m_board = std::make_unique<StationBoard>(ports, *m_log, [this] { boardChanged(); });

    StationOptions options;
    options.ports = ports;
    options.baud = ui->cbbBaud->currentText().toStdString();
    options.screen = ui->cbbPingNo->currentText().toStdString();
    options.package =
        toPath(QDir(programDirectory()).filePath(QString::fromUtf8(kPackageFileName)));
    if (m_hook)
        m_hook(options);
    auto station = Station::create(options, *m_board);
    if (!station) {
        note(QString::fromUtf8(text::kNoPackage) + QStringLiteral("：") +
             u8(station.error().message));
        m_board.reset();
        m_log.reset();
        refreshPackage();
        return false;
    }
    m_station = std::move(*station);

    // One tile per port, in the station's order.
    for (StationTile* tile : m_tiles)
        delete tile;
    m_tiles.clear();
    for (const QListWidgetItem* item : chosen)
        m_tiles.push_back(new StationTile(item->data(Qt::UserRole).toString(),
                                          item->data(Qt::UserRole + 2).toString(), ui->wgtTiles));
    layOutTiles();
    note(QStringLiteral("开始：%1 个串口，日志 %2").arg(ports.size()).arg(logPath));
    m_shownVersion = 0;
    m_shownLines = 0;
    setRunning(true);
    m_thread = std::jthread([this](std::stop_token stop) {
        m_station->run(stop);
        queueCall(this, [this] { ended(); });
    });
    return true;
}

void TStationForm::stop() {
    if (!running() || m_thread.get_stop_token().stop_requested())
        return;
    m_thread.request_stop();
    ui->btnStop->setEnabled(false);
    note(QStringLiteral("正在停止：升级中的控制卡完成当前数据块"));
}

void TStationForm::boardChanged() {
    if (!m_showPending.exchange(true))
        queueCall(this, [this] {
            m_showPending = false;
            showBoard();
        });
}

void TStationForm::showBoard() {
    if (!m_board)
        return;
    const BoardView view = m_board->view();
    if (view.version == m_shownVersion)
        return;
    m_shownVersion = view.version;
    for (std::size_t i = 0; i < m_tiles.size() && i < view.tiles.size(); ++i)
        m_tiles[i]->showState(view.tiles[i]);
    ui->lblTotals->setText(totalsText(view.totals));
    const std::uint64_t fresh =
        std::min<std::uint64_t>(view.linesAdded - m_shownLines, view.lines.size());
    for (std::size_t i = view.lines.size() - fresh; i < view.lines.size(); ++i)
        ui->txtLog->appendPlainText(u8(view.lines[i]));
    m_shownLines = view.linesAdded;
    if (view.package != m_shownPackage) {
        m_shownPackage = view.package;
        refreshPackage();
    }
    if (!view.logError.empty())
        stop(); // every card must be in the log
}

void TStationForm::ended() {
    if (m_thread.joinable())
        m_thread.join();
    showBoard();
    m_station.reset();
    m_log.reset(); // the board stays, to show how the run ended
    setRunning(false);
    note(QStringLiteral("已停止，串口已释放"));
    emit stationEnded();
    if (m_closeWhenEnded) {
        m_closeWhenEnded = false;
        close();
    }
}

void TStationForm::setRunning(bool running) {
    running ? m_clock->start() : m_clock->stop();
    ui->btnStart->setEnabled(!running);
    ui->btnStop->setEnabled(running);
    for (QWidget* w : {static_cast<QWidget*>(ui->lstPorts), static_cast<QWidget*>(ui->chkAllUsb),
                       static_cast<QWidget*>(ui->btnRefresh), static_cast<QWidget*>(ui->cbbPingNo),
                       static_cast<QWidget*>(ui->cbbBaud), static_cast<QWidget*>(ui->edtLog),
                       static_cast<QWidget*>(ui->btnLog)})
        w->setEnabled(!running);
    if (!running)
        ui->lstPorts->setEnabled(!ui->chkAllUsb->isChecked());
}

} // namespace cpuconfig
