// How an exchange with a card ended, as a value: what the upgrade and the query return.
// The engine says what happened; the front ends choose the words and numbers (the status
// texts below, cpuctl's exit codes, the main window's messages).
#pragma once

#include "common/Result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cpuconfig {

enum class Operation { Upgrade, Query };

// The ways an exchange with a card ends.
enum class CardEnd {
    Confirmed,    // the card confirmed the transfer / answered the query
    NotConfirmed, // no acknowledge, the transfer broke off, or no (right) answer
    NoPackage,    // the package is missing, not a file, cut short or without its end mark,
                  // or its copy could not be read during the transfer
    PortFailed,   // the port could not be opened or set up, or a later set-up step failed
    Stopped,      // a stop request ended it before the card's answer
};

// How far the exchange got.
enum class Stage {
    Package,     // the package was being checked; the port untouched
    Opening,     // opening and setting up the port
    Acknowledge, // the address is out: waiting for the card's acknowledge
    Transfer,    // acknowledged: the data phase, the frames and the transfer
    Answer,      // everything is out: waiting for the card's answer
};

struct Outcome {
    Operation operation = Operation::Upgrade;
    CardEnd end = CardEnd::Stopped;
    Stage stage = Stage::Package;
    std::string port;   // the port as it was opened
    std::string screen; // the screen number's text as it was addressed
    // The failed open or set-up step of the port (PortOpen, PortSetup) as the backend said
    // it, for a front end that says in plain words why the port cannot be used.
    std::optional<Error> portError;
    // Why the package was refused, or why its copy could not be read mid-transfer.
    std::optional<Error> packageError;
    // The engine's own words on the step that ended it: what the card said instead of an
    // answer, its silence, the port's error. Empty when nothing went wrong.
    std::string lastWord;
    std::uint64_t bytesSent = 0;      // transfer bytes written (the 15-byte command not counted)
    std::uint64_t bytesTotal = 0;     // the transfer's length; 0 until the transfer began
    std::optional<std::string> model; // query: the card's model bytes, cut at the first zero
};

// The status texts the system shows for it, in order; the last one stays on the label.
// A query the card did not acknowledge says "通讯失败，请稍后重试" before its final text.
// Empty when a stop ended it: the window is left as it was.
std::vector<const char*> statusTexts(const Outcome& outcome);
// The last of them; "发送失败" after a stop (the card's data did not get across).
const char* statusText(const Outcome& outcome);
// Why it did not end well, in plain words for a log or --verbose; empty when it did. A port
// fault is explained as explainPortFault does (reads the system: call it once, at the end).
std::string reasonText(const Outcome& outcome);

} // namespace cpuconfig
