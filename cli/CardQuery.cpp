#include "cli/CardQuery.h"

#include "cli/ExitCodes.h"
#include "common/Texts.h"
#include "link/PortFault.h"
#include "link/getParam.h"

namespace cpuconfig::cli {
namespace {

class AnswerReporter final : public QueryReporter {
public:
    explicit AnswerReporter(QueryAnswer& answer) : m_answer(answer) {}
    void status(const char* text) override { m_answer.statuses.emplace_back(text); }
    void cardModel(const std::string& bytes) override { m_answer.model = bytes; }

private:
    QueryAnswer& m_answer;
};

} // namespace

QueryAnswer queryCard(const CardOptions& o, Console& console, int screen, std::stop_token stop,
                      std::chrono::milliseconds ackWait) {
    QueryAnswer answer;
    LinkOptions options;
    options.ackWait = ackWait;
    std::optional<Error> fault;
    options.portFault = [&fault](const Error& e) { fault = fault ? fault : e; };
    std::string logged;
    options.log = [&answer, &logged, log = verboseLog(o, console)](const std::string& line) {
        answer.why = logged = line;
        if (log)
            log(line);
    };
    AnswerReporter reporter(answer);
    FixedSelection selection(o.port, o.baud, std::to_string(screen));
    answer.result = getParam(reporter, selection, stop, options);
    if (answer.result != 0 && fault)
        answer.why = explainPortFault(o.port, *fault);
    answer.told = o.verbose && answer.why == logged;
    return answer;
}

int queryExit(const QueryAnswer& r, bool stopped) {
    if (stopped)
        return kExitStopped;
    if (r.result != 0)
        return kExitPort;
    return !r.statuses.empty() && r.statuses.back() == text::kQueryOk ? kExitOk : kExitCard;
}

} // namespace cpuconfig::cli
