// What a command runs against: its console, the folder its file names are taken from, and
// the requests to stop it. cpuctl gives its own process's (signals become stop requests);
// a test gives strings, a scratch folder and a hand of its own on the stop.
#pragma once

#include "cli/Console.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace cpuconfig::cli {

// Requests to stop, from any thread.
class StopRequests {
public:
    void request() {
        m_count.fetch_add(1);
        m_source.request_stop();
    }
    std::stop_token token() const { return m_source.get_token(); }
    bool stopped() const { return m_source.stop_requested(); }
    // How many came: a second one may be taken as "now".
    int count() const { return m_count.load(); }

private:
    std::stop_source m_source;
    std::atomic<int> m_count{0};
};

struct Context {
    Context(std::ostream& out, std::ostream& err, Terminal errTerminal = {})
        : console(out, err, std::move(errTerminal)) {}

    Console console;
    // Where relative names of packages, images and logs are taken from; empty: the
    // process's current folder (and the names stay as they were typed).
    std::filesystem::path folder;
    StopRequests stops;
    // Called when a command begins to take stop requests; they come until the returned
    // object goes. cpuctl turns Ctrl-C, SIGTERM and SIGHUP into requests then (before, a
    // signal ends the process as it always has). Unset: requests come from elsewhere.
    std::function<std::shared_ptr<void>(StopRequests&)> listen;
    // Ends the process at once with this exit code, for a second Ctrl-C that will not wait
    // for a station to end its upgrades. Unset: a second request is taken as the first.
    std::function<void(int)> quit;

    std::shared_ptr<void> listenForStops() { return listen ? listen(stops) : nullptr; }
    std::filesystem::path file(const std::string& name) const {
        return folder.empty() ? std::filesystem::path(name) : folder / name;
    }
};

} // namespace cpuconfig::cli
