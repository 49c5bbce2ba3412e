// A flashing station: every port watched at the same time, and each card upgraded the moment
// it is connected. Per port: ask for a card's model every poll interval (a missing or busy
// port is only retried), upgrade the card that answers, make sure it still answers, report
// it, then wait until it stops answering before the port is free for the next card, so that
// a card left connected is never upgraded twice. Qt-free; built on PortRunner.
//
// The package is read and checked when the station is made and kept as a private copy; a
// file changed on disk is read and checked again for the next card only, and a broken one
// is refused while the copy in use stays.
//
// Thread-safety: run() blocks its caller and runs one worker per port. The reporter is
// called from every worker at the same time (a port's calls come from its worker alone,
// one after another), so it guards what its calls share.
#pragma once

#include "common/Clock.h"
#include "common/Result.h"
#include "link/ParallelUpgrade.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

namespace cpuconfig {

class PortRunner;

struct StationOptions {
    std::vector<std::string> ports;
    std::string baud = "115200";
    std::string screen = "1";
    std::filesystem::path package = kPackageFileName;
    Clock::Ms poll{500}; // between two questions for a card, on pollClock
    // How long a question for a card that may not be there yet waits for its acknowledge;
    // the card's confirmation and the watch for its leaving use the exchange's own wait.
    Clock::Ms findWait{300};
    // After a failed upgrade, upgrade a card that still answers once more.
    bool again = false;
    // The pauses between polls run on it: tests step it instead of sleeping. nullptr: the
    // station's own pause on the system clock, which a stop ends at once and which costs
    // nothing while it waits.
    Clock* pollClock = nullptr;
    // The exchanges' own clock, port factory and log; the package is the station's.
    UpgradeOptions link;
    // Where the checked copies of the package are kept; empty: a new folder under the
    // system's temporary folder, removed with the station.
    std::filesystem::path workFolder;
};

enum class PortState {
    Waiting,        // the port is there, no card answers
    PortMissing,    // no such port now (unplugged, not yet connected)
    PortBusy,       // another program holds it
    PortFault,      // any other reason it cannot be used; detail says why
    CardFound,      // detail: the model the card reported
    Upgrading,      // progress() follows
    Done,           // detail: the system's status text
    Failed,         // detail: status text and reason
    StillConnected, // the card has not been taken away yet
    NotLogged,      // the card's record could not be kept; the station stops. detail: as Done
};

// A package as the station uses it: a checked copy that does not change.
struct StationPackage {
    std::filesystem::path copy; // what the upgrades read
    std::string sha256;
    std::uint64_t size = 0;
};

struct StationCard {
    std::size_t portIndex = 0;
    std::string port;
    std::string byId; // the port's stable by-id name, empty when it has none
    std::string screen;
    std::string model; // as the card reported it (bytes, cut at the first zero)
    std::string packageSha256;
    CardResult result;  // the upgrade as it went
    bool ok = false;    // confirmed, and still answered afterwards
    const char* status; // the system's text for the whole card
    std::string reason; // plain words when not ok
    int attempt = 1;    // 2: the one retry of --again
};

// What the station found when the package file changed.
struct PackageChange {
    bool taken = false;   // the new file is used from the next card on
    std::string sha256;   // of the new file (empty when it could not be read)
    std::string reason;   // why it was refused
    std::string previous; // SHA-256 of the package still or no longer in use
};

class StationReporter {
public:
    virtual ~StationReporter() = default;
    // On every change of a port's state (not on every poll).
    virtual void portState(std::size_t index, PortState state, const std::string& detail);
    virtual void progress(std::size_t index, std::uint64_t sent, std::uint64_t total);
    // The port's next card waits until this returns: a log written here holds every card
    // before the next one starts, and before the card is shown as done or failed. false:
    // the card could not be recorded; it is shown as NotLogged and every port stops.
    virtual bool cardFinished(const StationCard& card);
    virtual void packageChanged(const PackageChange& change);
};

// Checks a package as the station needs it: a regular file, at least header and trailer,
// ending with the end mark. The whole file, or FileMissing / FileTooShort / FileUnreadable
// with the reason.
Result<std::vector<std::uint8_t>> readStationPackage(const std::filesystem::path& path);

class Station {
public:
    // Reads and checks the package before any port is touched; its error when it is
    // missing, unreadable or too short. CreateFailed when its copy cannot be written.
    static Result<std::unique_ptr<Station>> create(StationOptions options,
                                                   StationReporter& reporter);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Serves every port until stop, or until a card could not be recorded. A stop lets an
    // upgrade in flight end its block and run its closing steps; it is reported as failed.
    // Every port is closed on return.
    void run(std::stop_token stop);

    const StationPackage& package() const { return *m_package; }

private:
    Station(StationOptions options, StationReporter& reporter);
    Result<std::shared_ptr<const StationPackage>> keep(const std::vector<std::uint8_t>& bytes);
    // The package for the next card: the file again when it changed, else the one in use.
    std::shared_ptr<const StationPackage> packageForNextCard();
    void servePort(std::size_t index, std::stop_token stop);
    // One poll interval; false when a stop ended it.
    bool pause(std::stop_token stop);
    // Stops every port, as a stop of run() would.
    void halt();

    StationOptions m_options;
    StationReporter& m_reporter;
    bool m_ownFolder = false;
    std::mutex m_packageMutex; // guards the three below
    std::shared_ptr<const StationPackage> m_package;
    std::string m_refused; // SHA-256 of the last file refused, so it is said only once
    unsigned m_copies = 0;
    std::mutex m_wakeMutex; // guards m_stopping and m_runner
    std::condition_variable m_wake;
    bool m_stopping = false;
    PortRunner* m_runner = nullptr; // while run() runs
};

} // namespace cpuconfig
