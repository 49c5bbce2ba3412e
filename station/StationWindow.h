// The station window "产线升级": the production line in the desktop program. The technician
// picks the ports to watch, the screen number and baud rate, and sees the package and the
// log file; once started, every card connected to a watched port is upgraded once, logged
// and shown on its port's tile until it is taken away. The station engine does the work on
// threads of its own; the window only shows what its board says.
#pragma once

#include "link/Station.h"
#include "station/StationBoard.h"

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

QT_BEGIN_NAMESPACE
namespace Ui {
class TStationForm;
}
class QLabel;
class QListWidgetItem;
class QProgressBar;
class QTimer;
QT_END_NAMESPACE

namespace cpuconfig {

class DurableLog;

// One port on the board: its name and description, its state in words and colour, and the
// progress of the card being upgraded.
class StationTile : public QWidget {
    Q_OBJECT

public:
    StationTile(const QString& device, const QString& description, QWidget* parent = nullptr);
    void showState(const TileState& tile);
    QString stateText() const;
    // The colour's name: "waiting", "missing", "busy", "found", "upgrading", "done",
    // "failed", "remove" (done, card still connected).
    QString tone() const { return m_tone; }

private:
    QLabel* m_state;
    QProgressBar* m_bar;
    QLabel* m_left;
    QString m_tone;
};

class TStationForm : public QWidget {
    Q_OBJECT

public:
    explicit TStationForm(QWidget* parent = nullptr);
    ~TStationForm() override; // stops the station, letting transfers in flight close

    // For tests: a last say on the station's options before it starts (a faster poll).
    void setOptionsHook(std::function<void(StationOptions&)> hook) { m_hook = std::move(hook); }

    bool running() const { return m_thread.joinable(); }
    // Starts the station on the chosen ports; false, with the reason shown, when it cannot.
    bool start();
    // Asks the station to stop; it ends once transfers in flight have closed.
    void stop();
    // Reads the port list and the package afresh (the window does so when it is shown).
    void refreshChoices();

    const std::vector<StationTile*>& tiles() const { return m_tiles; }
    QString totalsText() const;
    static QString totalsText(const BoardTotals& totals);

signals:
    void stationEnded();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void layOutTiles(); // in as many columns as the board's width holds
    void refreshPorts();
    void refreshPackage();
    // The ticked ports (or every USB adapter), as the list holds them.
    std::vector<const QListWidgetItem*> chosenPorts() const;
    void showBoard();    // on the GUI thread: the board's latest view
    void boardChanged(); // on a worker: schedules one showBoard
    void ended();        // on the GUI thread, once run() has returned
    void setRunning(bool running);
    void note(const QString& text); // a line of the window's own under the log's

    std::unique_ptr<Ui::TStationForm> ui;
    std::function<void(StationOptions&)> m_hook;
    std::unique_ptr<DurableLog> m_log;
    std::unique_ptr<StationBoard> m_board;
    std::unique_ptr<Station> m_station;
    std::vector<StationTile*> m_tiles;
    std::atomic<bool> m_showPending{false};
    std::uint64_t m_shownVersion = 0;
    std::uint64_t m_shownLines = 0;
    std::string m_shownPackage;
    bool m_logEdited = false;
    int m_columns = 0;
    QTimer* m_clock = nullptr;
    bool m_closeWhenEnded = false;
    std::stop_source m_stop;
    std::jthread m_thread; // last: joined first
};

} // namespace cpuconfig
