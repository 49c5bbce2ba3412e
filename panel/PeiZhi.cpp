#include "panel/PeiZhi.h"
#include "ui_PeiZhi.h"

#include "common/Gbk.h"
#include "common/Texts.h"
#include "gui/MainWindowEvents.h"
#include "gui/QueuedCall.h"
#include "gui/WindowSupport.h"
#include "link/PortInfo.h"
#include "link/getParam.h"
#include "package/PackageFormat.h"
#include "panel/PortComboBox.h"

#include <QAbstractItemView>
#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTextBlock>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <system_error>

namespace cpuconfig {

namespace {

// What the port box says of a chosen port that has gone.
constexpr char kPortGone[] = "已断开";

// Below this the note is no longer read at a glance.
constexpr int kSmallestNotePixels = 9;

QString fromGbk(const std::string& bytes) {
    return QString::fromStdString(gbkToUtf8(bytes));
}

// Hands the query's texts to the GUI thread. The worker never touches a widget; the
// panel may be gone by the time a text arrives, and then it is dropped.
class GuiQueryReporter final : public QueryReporter {
public:
    // ended runs on the GUI thread once the query is over, after its last text.
    GuiQueryReporter(QPointer<TPeiZhiForm> panel, std::function<void()> ended)
        : m_panel(std::move(panel)), m_ended(std::move(ended)) {}

    void status(const char* text) override {
        deliver([panel = m_panel, s = QString::fromUtf8(text)] {
            if (panel)
                emit panel->statusText(s);
        });
    }

    void cardModel(const std::string& bytes) override {
        deliver([panel = m_panel, s = fromGbk(bytes)] {
            if (auto* label = panel ? panel->findChild<QLabel*>(QStringLiteral("lbl6")) : nullptr) {
                label->setText(s);
                // A model of the full twelve letters is wider than its place.
                label->setToolTip(s);
            }
        });
    }

    void ended() { deliver(m_ended); }

private:
    static void deliver(std::function<void()> f) { queueCall(qApp, std::move(f)); }

    QPointer<TPeiZhiForm> m_panel;
    std::function<void()> m_ended;
};

} // namespace

void reportQuery(QueryReporter& reporter, const Outcome& outcome) {
    if (outcome.model)
        reporter.cardModel(*outcome.model);
    for (const char* text : statusTexts(outcome))
        reporter.status(text);
}

TPeiZhiForm::TPeiZhiForm(QWidget* owner)
    : QWidget(owner), ui(std::make_unique<Ui::TPeiZhiForm>()), m_owner(owner),
      m_queryRoutine(
          [](QueryReporter& reporter, const SelectionProvider& selection, std::stop_token stop) {
              reportQuery(reporter, getParam(selection, stop));
          }) {
    ui->setupUi(this);
    applyFontPixelSizes(this);
    fitNote();
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    // The background picture stops short of the group box's right and bottom edges; what
    // it leaves must not let the main window (or the package tool beneath) show through.
    setAutoFillBackground(true);
    QPalette face = palette();
    face.setColor(QPalette::Window, QColor(0xC4, 0xD6, 0xEC));
    setPalette(face);
    // Closing the panel destroys it; the main window's reference clears itself.
    setAttribute(Qt::WA_DeleteOnClose);
    ui->btn1->setVisible(false);

    connect(ui->btn1, &QAbstractButton::clicked, this, &TPeiZhiForm::btn1Click);
    connect(ui->btn2, &QAbstractButton::clicked, this, &TPeiZhiForm::btn2Click);
    connect(ui->btn3, &QAbstractButton::clicked, this, &TPeiZhiForm::btn3Click);
    for (QComboBox* box : {ui->cbbPingNo, static_cast<QComboBox*>(ui->cbb2), ui->cbb1})
        connect(box, &QComboBox::currentTextChanged, this, &TPeiZhiForm::publishSelections);
    connect(ui->cbb2, &QComboBox::currentIndexChanged, this, &TPeiZhiForm::showPortState);
    connect(ui->cbb2, &PortComboBox::aboutToOpen, this, &TPeiZhiForm::fillPortList);
    publishSelections();
}

TPeiZhiForm::~TPeiZhiForm() = default;

void TPeiZhiForm::setProgramDirectory(const QString& dir) {
    cpuconfig::setProgramDirectory(dir);
}

QString TPeiZhiForm::programDirectory() {
    return cpuconfig::programDirectory();
}

void TPeiZhiForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Only a real hidden-to-visible turn: restoring the minimised main window is not one.
    if (!event->spontaneous())
        FormShow();
}

void TPeiZhiForm::FormShow() {
    fillPortList();
    ui->btn1->click();
}

void TPeiZhiForm::fitNote() {
    // The note's five lines break where its text says, each on one line: the layout's font
    // is made smaller until all of the note fits the box, whatever face stands in for the
    // one the layout names. Measured as laid out, since the Chinese and the Latin letters
    // may come from different faces.
    QPlainTextEdit* note = ui->mmo2;
    QTextDocument* text = note->document();
    const qreal frame = 2 * note->frameWidth();
    QFont font = note->font();
    for (int px = font.pixelSize(); px >= kSmallestNotePixels; --px) {
        font.setPixelSize(px);
        note->setFont(font);
        qreal height = 2 * text->documentMargin();
        for (QTextBlock block = text->begin(); block.isValid(); block = block.next())
            height += text->documentLayout()->blockBoundingRect(block).height();
        const qreal width = text->documentLayout()->documentSize().width();
        if (width + frame <= note->width() && height + frame <= note->height()) {
            // Room for all of it: a scroll bar would only take room away.
            note->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            note->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            return;
        }
    }
    // Too small a box even so: wrapped lines, rather than lines cut at the right.
    note->setLineWrapMode(QPlainTextEdit::WidgetWidth);
}

void TPeiZhiForm::fillPortList() {
    struct Item {
        QString device;
        QString description;
        bool gone = false;
    };
    QComboBox* box = ui->cbb2;
    // The choice survives a new reading of the list. A port that has gone stays chosen and
    // says so: another port silently in its place would take the next upgrade.
    const QVariant chosenDevice = box->currentData(PortComboBox::kDeviceRole);
    const QString chosen = chosenDevice.isValid() ? chosenDevice.toString() : box->currentText();
    std::vector<Item> items;
    for (const PortInfo& port : describeSerialPorts())
        items.push_back(
            {QString::fromStdString(port.device), QString::fromStdString(port.description())});
    if (!chosen.isEmpty() &&
        std::none_of(items.begin(), items.end(), [&](const Item& i) { return i.device == chosen; }))
        items.push_back({chosen, QString::fromUtf8(kPortGone), true});
    // The list is kept sorted without regard to case: COM1, COM10, COM2.
    std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
        return QString::compare(a.device, b.device, Qt::CaseInsensitive) < 0;
    });
    QStringList names;
    for (const Item& item : items)
        names << shortPortName(item.device);

    const QSignalBlocker quiet(box); // one change of the selection, published below
    box->clear();
    int current = items.empty() ? -1 : 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        // Two ports whose names end alike (cards in two folders) are shown whole.
        const QString name =
            names.count(names[qsizetype(i)]) > 1 ? item.device : names[qsizetype(i)];
        QStringList entry{name};
        if (item.device != name)
            entry << item.device;
        if (!item.description.isEmpty())
            entry << item.description;
        box->addItem(name, item.device);
        const int row = box->count() - 1;
        box->setItemData(row, entry.join(QStringLiteral("    ")), PortComboBox::kListTextRole);
        // Two adapters look alike by name alone: each entry says what it is.
        box->setItemData(row,
                         item.description.isEmpty()
                             ? item.device
                             : item.device + QLatin1Char('\n') + item.description,
                         Qt::ToolTipRole);
        box->setItemData(row, item.gone, PortComboBox::kGoneRole);
        if (item.device == chosen)
            current = row;
    }
    box->setCurrentIndex(current);
    // The open list is as wide as its entries need (the closed box keeps its size), up to
    // the screen's width.
    QAbstractItemView* list = box->view();
    list->ensurePolished(); // the list's own font, as it will be drawn
    const int widest = list->sizeHintForColumn(0);
    const int frame =
        2 * list->frameWidth() + list->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 16;
    int width = std::max(box->width(), widest + frame);
    if (const QScreen* screen = box->screen())
        width = std::min(width, std::max(box->width(), screen->availableGeometry().width()));
    list->setMinimumWidth(width);
    showPortState();
    publishSelections();
}

void TPeiZhiForm::showPortState() {
    QComboBox* box = ui->cbb2;
    box->setToolTip(box->currentData(Qt::ToolTipRole).toString());
    const bool gone = box->currentData(PortComboBox::kGoneRole).toBool();
    if (box->property("portGone").toBool() != gone) {
        box->setProperty("portGone", gone);
        box->style()->unpolish(box);
        box->style()->polish(box);
    }
}

void TPeiZhiForm::publishSelections() {
    m_selection->setScreenText(ui->cbbPingNo->currentText().toStdString());
    // The device's full name; the box shows only its short one.
    const QVariant device = ui->cbb2->currentData(PortComboBox::kDeviceRole);
    m_selection->setPortName(
        (device.isValid() ? device.toString() : ui->cbb2->currentText()).toStdString());
    m_selection->setBaudText(ui->cbb1->currentText().toStdString());
}

void TPeiZhiForm::showMessage(int icon, const QString& text, const QString& detail) {
    // Not exec(): the box must not run a loop of its own inside a handler.
    auto* box = new QMessageBox(static_cast<QMessageBox::Icon>(icon),
                                QCoreApplication::applicationName(), text, QMessageBox::Ok, this);
    box->setInformativeText(detail);
    // A path reads best on one line; the box is as wide as it needs.
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setWordWrap(false);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

void TPeiZhiForm::btn1Click() {
    const QString folder = programDirectory();
    // Where the package is looked for: an installed program keeps it in the user's data
    // folder, which a technician would not guess.
    const QString where =
        QDir::toNativeSeparators(QDir(folder).filePath(QString::fromLatin1(kPackageFileName)));
    for (QWidget* w : {ui->lbl11, ui->lbl10, ui->lbl4, ui->lbl9, ui->lbl1, ui->lbl8, ui->lbl5})
        w->setToolTip(where);
    // The upgrade opens the package by its bare name and relies on this. A folder that
    // cannot be entered holds no package for us: never read one from the folder we were in.
    const bool entered = QDir::setCurrent(folder);
    const std::filesystem::path name = kPackageFileName;
    std::error_code ec;
    if (!entered || !std::filesystem::is_regular_file(name, ec)) {
        showMessage(QMessageBox::NoIcon, QString::fromUtf8(text::kPackageNotInProgramDir), where);
        return;
    }
    Result<PackageDetails> details = readPackageDetails(name);
    if (!details) {
        // Labels untouched: they change only once every read has succeeded.
        showMessage(QMessageBox::Critical,
                    QStringLiteral("读取文件 %1 出错：%2")
                        .arg(QString::fromLatin1(kPackageFileName),
                             QString::fromStdString(details.error().message)),
                    where);
        return;
    }
    ui->lbl1->setText(QString::fromStdString(details->dateText)); // already UTF-8
    ui->lbl4->setText(fromGbk(details->model));
    ui->lbl5->setText(fromGbk(details->cpuVersion));
}

void TPeiZhiForm::btn2Click() {
    if (!m_owner)
        return;
    // Until the main window has started this upgrade and says when it ends.
    setUpgradeRunning(true);
    QCoreApplication::postEvent(m_owner, new CpuMessageEvent(WM_CPU_START, 0, 0));
}

void TPeiZhiForm::btn3Click() {
    QPointer<TPeiZhiForm> self(this);
    auto reporter = std::make_shared<GuiQueryReporter>(self, [self] {
        if (self) {
            --self->m_queriesRunning;
            self->enableExchanges();
        }
    });
    ++m_queriesRunning;
    enableExchanges();
    m_queries.start(
        [routine = m_queryRoutine, reporter, selection = m_selection](std::stop_token stop) {
            routine(*reporter, *selection, stop);
            reporter->ended();
        });
}

void TPeiZhiForm::setUpgradeRunning(bool running) {
    m_upgradeRunning = running;
    enableExchanges();
}

void TPeiZhiForm::enableExchanges() {
    const bool idle = !m_upgradeRunning && m_queriesRunning == 0;
    ui->btn2->setEnabled(idle);
    ui->btn3->setEnabled(idle);
}

} // namespace cpuconfig
