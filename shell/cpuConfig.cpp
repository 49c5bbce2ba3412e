#include "shell/cpuConfig.h"
#include "ui_cpuConfig.h"

#include "common/Texts.h"
#include "common/ThreadHandOff.h"
#include "gui/WindowSupport.h"
#include "package/qt/SJ.h"
#include "package/qt/SJLoadWorker.h"
#include "panel/PeiZhi.h"
#include "panel/SelectionSnapshot.h"
#include "shell/ServiceMenu.h"
#include "shell/UpgradeMessages.h"
#include "shell/passdlg.h"

#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <climits>

namespace cpuconfig {

namespace {

// Message values are pointer-sized; the bar counts in int. A package near the 2 GiB limit
// must not wrap into a negative range.
int toBarValue(std::uintptr_t value) {
    return static_cast<int>(std::min<std::uintptr_t>(value, static_cast<std::uintptr_t>(INT_MAX)));
}

// Asked when the window is closed while an upgrade runs.
constexpr char kCloseDuringUpgrade[] = "正在配置cpu文件，退出将中断升级。确定退出吗？";

// Posted by an upgrade worker as its last word, after its outcome.
QEvent::Type upgradeEndedEvent() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool isLeftClick(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* widget = static_cast<QWidget*>(watched);
    return mouse->button() == Qt::LeftButton &&
           widget->rect().contains(mouse->position().toPoint());
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm1>()),
      m_noPanelSelection(std::make_shared<SelectionSnapshot>()),
      m_target(std::make_shared<MessageTarget>(this)),
      m_upgradeRoutine([](MainWindowLink& window, const SelectionProvider& selection,
                          std::stop_token stop) { runUpgradeForWindow(window, selection, stop); }) {
    registerCpuMessages();
    ui->setupUi(this);
    applyFontPixelSizes(this);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(702, 498);
    ui->btn2->setVisible(false);
    ui->pb1->setVisible(false);

    m_pm1 = new QMenu(this);
    m_pm1->setObjectName(QStringLiteral("pm1"));
    m_pm1->setSeparatorsCollapsible(false);
    m_pm1->addActions({ui->N1, ui->N3, ui->N4, ui->N2});
    connect(ui->N1, &QAction::triggered, this, &TForm1::N1Click);
    connect(ui->N2, &QAction::triggered, this, &TForm1::N2Click);
    // Runs pm1Change on every change of pm1's items.
    m_serviceMenu = new ServiceMenu(
        m_pm1, [this] { MyNs2Click(); }, [this] { MyNs3Click(); }, [this] { MyNs4Click(); }, this);

    m_form2 = new TForm2(this);
    connect(m_form2, &TForm2::confirmed, this, [this](const QString& password) {
        m_serviceMenu->setEnteredPassword(password);
        FormShow();
    });

    connect(ui->btn1, &QAbstractButton::clicked, this, &TForm1::btn1Click);
    connect(ui->btn2, &QAbstractButton::clicked, this, &TForm1::btn2Click);
    for (QWidget* image : {ui->img1, ui->img2, ui->img3, ui->img4}) {
        image->installEventFilter(this);
        if (image != ui->img1)
            image->setCursor(Qt::PointingHandCursor);
    }
    FormCreate();
}

TForm1::~TForm1() {
    // A generation in progress stops, leaving the old package, before the status it
    // reports to goes away.
    delete m_sjForm.data();
    m_upgrades.stopAll(std::chrono::steady_clock::now() + kShutdownBudget);
    m_target->close();
}

QPoint TForm1::centredOrigin(QSize screen, QSize window) {
    return {(screen.width() - window.width()) / 2, (screen.height() - window.height()) / 2};
}

void TForm1::FormCreate() {
    m_peiZhi = nullptr;
    m_sjForm = nullptr;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(centredOrigin(screen->geometry().size(), size()));
    // The service-menu flag starts cleared with the ServiceMenu.
}

bool TForm1::serviceMenuAdded() const {
    return m_serviceMenu->added();
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TForm1::FormShow() {
    m_serviceMenu->addWhenDue();
    ui->btn1->click();
}

void TForm1::btn1Click() {
    setStatus(QString());
    if (m_peiZhi) {
        m_peiZhi->show();
        m_peiZhi->raise();
        return;
    }
    auto* panel = new TPeiZhiForm(this);
    panel->setUpgradeRunning(m_upgradesRunning > 0);
    connect(panel, &TPeiZhiForm::statusText, this, &TForm1::setStatus);
    m_peiZhi = panel;
    panel->show();
    panel->move(220, 195);
}

void TForm1::btn2Click() {
    setStatus(QString());
    if (m_sjForm) {
        m_sjForm->show();
        m_sjForm->raise();
    } else {
        auto* tool = new TSJForm(this, this);
        m_sjForm = tool;
        tool->show();
        tool->move(220, 195);
        tool->findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))->hide();
    }
    m_sjForm->worker().setProgramDir(TPeiZhiForm::programDirectory());
    // The tool covers the panel wholly. Hidden, the panel turns visible again when it is
    // next opened, and then reads the package afresh: a package just built shows at once.
    if (m_peiZhi)
        m_peiZhi->hide();
}

void TForm1::MyNs4Click() {
    // A window of its own beside the main window, larger than the panels; one at a time.
    if (!m_stationForm) {
        m_stationForm = new TStationForm(this);
        m_stationForm->setAttribute(Qt::WA_DeleteOnClose);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect room = screen->availableGeometry();
            m_stationForm->move(room.topLeft() +
                                centredOrigin(room.size(), m_stationForm->frameSize()));
        }
    }
    m_stationForm->show();
    m_stationForm->raise();
    m_stationForm->activateWindow();
}

void TForm1::CPU1Click() {
    btn2Click();
}

void TForm1::img1MouseMove() {
    if (QWindow* window = windowHandle())
        window->startSystemMove();
}

void TForm1::img2Click() {
    if (!mayCloseNow())
        return;
    shutDown();
    close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // From the window system (Alt+F4, the task bar): the same way out as the close image.
    if (!m_shutDown) {
        if (!mayCloseNow()) {
            event->ignore();
            return;
        }
        shutDown();
    }
    QWidget::closeEvent(event);
}

bool TForm1::mayCloseNow() {
    // A card cut off in the middle of a write may not start again: ask first.
    if (m_upgradesRunning == 0 || m_closeConfirmed)
        return true;
    if (m_closeQuestion) {
        m_closeQuestion->raise();
        m_closeQuestion->activateWindow();
        return false;
    }
    auto* box = new QMessageBox(QMessageBox::Question, QCoreApplication::applicationName(),
                                QString::fromUtf8(kCloseDuringUpgrade),
                                QMessageBox::Yes | QMessageBox::No, this);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("是"));
    box->button(QMessageBox::No)->setText(QStringLiteral("否"));
    box->setDefaultButton(QMessageBox::No);
    box->setEscapeButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    // Not exec(): the question must not run a loop of its own inside a handler.
    connect(box, &QMessageBox::finished, this, [this](int answer) {
        if (answer == QMessageBox::Yes) {
            m_closeConfirmed = true;
            img2Click();
        }
    });
    m_closeQuestion = box;
    box->show();
    return false;
}

void TForm1::shutDown() {
    m_shutDown = true;
    // Every worker is asked to stop at once, then all share one budget: an upgrade runs its
    // closing steps and releases the port, a query ends at its next wait.
    const auto deadline = std::chrono::steady_clock::now() + kShutdownBudget;
    m_upgrades.requestStopAll();
    if (m_peiZhi)
        m_peiZhi->queryWorkers().requestStopAll();
    m_upgrades.stopAll(deadline);
    m_upgradeWorker.reset();
    // The station's transfers end their block and close their ports before the program
    // goes; its window would otherwise outlive the main window and keep the program alive.
    delete m_stationForm.data();
    if (m_peiZhi) {
        m_peiZhi->queryWorkers().stopAll(deadline);
        delete m_peiZhi.data();
    }
}

void TForm1::setStatus(const QString& text) {
    ui->lbl1->setText(text);
    emit statusChanged(text);
}

void TForm1::img3Click() {
    showMinimized();
}

void TForm1::img4Click() {
    const QPoint below(ui->img4->x(), ui->img4->y() + ui->img4->height() + 1);
    m_pm1->popup(mapToGlobal(below));
}

void TForm1::N1Click() {
    m_form2->showFor(this);
}

void TForm1::N2Click() {
    img2Click();
}

void TForm1::pm1Change() {
    m_serviceMenu->pm1Change();
}

void TForm1::MyNs2Click() {
    btn1Click();
}

void TForm1::MyNs3Click() {
    CPU1Click();
}

void TForm1::hideProgressBar() {
    ui->pb1->hide();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ui->img1 && event->type() == QEvent::MouseMove &&
        (static_cast<QMouseEvent*>(event)->buttons() & Qt::LeftButton)) {
        img1MouseMove();
        return true;
    }
    if (isLeftClick(watched, event)) {
        if (watched == ui->img2)
            img2Click();
        else if (watched == ui->img3)
            img3Click();
        else if (watched == ui->img4)
            img4Click();
        else
            return QWidget::eventFilter(watched, event);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

bool TForm1::event(QEvent* event) {
    acceptHandOff(); // a message event may come from a worker
    if (event->type() == upgradeEndedEvent()) {
        --m_upgradesRunning;
        if (m_peiZhi)
            m_peiZhi->setUpgradeRunning(m_upgradesRunning > 0);
        return true;
    }
    if (auto* message =
            isCpuMessage(event->type()) ? dynamic_cast<CpuMessageEvent*>(event) : nullptr) {
        handleMessage(message->message(), message->wParam(), message->lParam());
        return true;
    }
    return QWidget::event(event);
}

void TForm1::handleMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    switch (message) {
    case WM_CPU_PROGRESS:
        progress(wParam, lParam);
        break;
    case WM_CPU_SEND_FAILED:
        setStatus(QString::fromUtf8(text::kSendFailed));
        break;
    case WM_CPU_NO_FILE:
        setStatus(QString::fromUtf8(text::kNoPackage));
        break;
    case WM_CPU_RESULT:
        if (wParam == 0)
            setStatus(QString::fromUtf8(text::kConfigOk));
        else if (wParam == 1)
            setStatus(QString::fromUtf8(text::kConfigFailed));
        break;
    case WM_CPU_START:
        startUpgradeWorker();
        break;
    default:
        break;
    }
}

void TForm1::progress(std::uintptr_t wParam, std::intptr_t lParam) {
    QProgressBar* bar = ui->pb1;
    switch (lParam) {
    case kProgressPosition:
        // A bar clamps rather than ignores a position outside its range.
        bar->setValue(std::clamp(toBarValue(wParam), bar->minimum(), bar->maximum()));
        setStatus(QString::fromUtf8(text::kConfiguring));
        // The whole file has gone out, but only the card's answer (WM_CPU_RESULT) says
        // whether it took it: the label keeps saying "configuring" until then.
        if (bar->value() == bar->maximum())
            bar->hide();
        break;
    case kProgressMinimum:
        bar->setMinimum(toBarValue(wParam));
        break;
    case kProgressMaximum:
        bar->setMaximum(toBarValue(wParam));
        break;
    case kProgressVisible:
        if (wParam == 1)
            bar->show();
        else if (wParam == 0)
            bar->hide();
        break;
    default:
        break;
    }
}

void TForm1::startUpgradeWorker() {
    std::shared_ptr<const SelectionProvider> selection =
        m_peiZhi ? m_peiZhi->selection() : m_noPanelSelection;
    ++m_upgradesRunning;
    if (m_peiZhi)
        m_peiZhi->setUpgradeRunning(true);
    m_upgradeWorker = m_upgrades.start(
        [target = m_target, selection, routine = m_upgradeRoutine](std::stop_token stop) {
            {
                EventLink link(target, stop);
                routine(link, *selection, stop);
            }
            // Behind the outcome (sent, so already handled) and the last posted position.
            target->post(new QEvent(upgradeEndedEvent()));
        });
}

} // namespace cpuconfig
