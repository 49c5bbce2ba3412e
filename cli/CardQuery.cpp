#include "cli/CardQuery.h"

#include "cli/ExitCodes.h"
#include "link/Selection.h"
#include "link/getParam.h"

namespace cpuconfig::cli {

QueryAnswer queryCard(const CardOptions& o, Console& console, int screen, std::stop_token stop,
                      std::chrono::milliseconds ackWait) {
    LinkOptions options;
    options.ackWait = ackWait;
    options.log = verboseLog(o, console);
    FixedSelection selection(o.port, o.baud, std::to_string(screen));
    QueryAnswer answer;
    answer.outcome = getParam(selection, stop, options);
    answer.why = reasonText(answer.outcome);
    answer.told = o.verbose && answer.why == answer.outcome.lastWord;
    return answer;
}

int queryExit(const QueryAnswer& r, bool stopped) {
    if (stopped)
        return kExitStopped;
    return exitFor(r.outcome.end);
}

} // namespace cpuconfig::cli
