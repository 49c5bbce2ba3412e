// Port faults in plain words: why a port could not be opened or set up, said so that a
// technician knows what to do next (join the group that owns the device, close the program
// that holds it, pick the port the adapter has now). Front ends print it beside the
// system's own status text, which stays as it is.
//
// Thread-safety: the functions read the file system (and on Linux /proc) and keep no
// state; any thread may call them, also several at once. They are meant for the moment a
// port has failed, not for a loop: finding who holds a port reads every process's table.
#pragma once

#include "common/Result.h"
#include "link/PortInfo.h"

#include <string>
#include <vector>

namespace cpuconfig {

// What kind of fault a failed open was, for a front end that treats them differently (a
// station retries a missing or busy port quietly).
enum class PortFaultKind {
    PermissionDenied, // the user may not open the device
    InUse,            // another program (or exchange) holds it
    Missing,          // no such device (unplugged, renumbered, mistyped)
    Other,            // anything else, and every failed set-up step
};
PortFaultKind portFaultKind(const Error& error);

// A process that holds a port open (or its lock).
struct PortHolder {
    int pid = 0;
    std::string command; // the process's own name ("minicom"), empty when unreadable
};

// Who holds name: the holders of its lock when there are any (they are what keeps others
// out), otherwise every other process with it open. Empty where that cannot be read
// (Windows, another user's processes).
std::vector<PortHolder> portHolders(const std::string& name, const PortTree& tree = {});

// One line, without a line end, beginning with the port's name. error is what the failed
// open or set-up step returned (its osError is errno or GetLastError). Permission denied
// names the device's group and the command that adds the user to it; a port in use names
// its holders; a missing port lists the ports there are now (with their by-id names);
// anything else gives the step's own message.
std::string explainPortFault(const std::string& name, const Error& error,
                             const PortTree& tree = {});

// The reason for PermissionDenied: who may open the device and how to join them.
std::string permissionDeniedReason(const std::string& name, const PortTree& tree = {});

// "/dev/ttyUSB1 (/dev/serial/by-id/usb-FTDI_...), /dev/ttyS0", or "none".
std::string portsNow(const PortTree& tree = {});

} // namespace cpuconfig
