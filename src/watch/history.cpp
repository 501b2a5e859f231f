#include "watch/history.h"

#include <fcntl.h>

#include "common/fd.h"
#include "watch/clocks.h"
#include "watch/folder.h"
#include "watch/importer.h"
#include "watch/names.h"
#include "watch/runfolder.h"

bool cameAfter(const FiledRun& a, const FiledRun& b) {
    if (a.sequence >= 0 && b.sequence >= 0) return b.sequence > a.sequence;
    return b.taken > a.taken;
}

std::vector<FiledRun> filedRuns(const std::string& base) {
    std::vector<FiledRun> runs;
    UniqueFd baseFd(openFolder(AT_FDCWD, base));
    if (!baseFd.valid()) return runs;
    for (const RunFolderEntry& entry : listRunFolders(baseFd.get())) {
        if (!entry.recorded || entry.record.step != Step::Filing) continue;
        const RunRecord& record = entry.record;
        FiledRun run;
        run.folder = base + "/" + entry.name;
        run.name = shownName(record.name);
        run.typeCode = record.rule.typeCode;
        run.taken = stampTime(record.stamp);
        run.archived = record.archived;
        run.held = record.held;
        run.outcome = record.outcome;
        run.reason = record.reason;
        run.sequence = record.sequence;
        run.requeued = hasEntry(baseFd.get(), pathIn(entry.name, RequeuedName));
        run.acknowledged = hasEntry(baseFd.get(), pathIn(entry.name, AcknowledgedName));
        RunOutcome report;
        if (readReport(pathIn(run.folder, ReportName), report)) {
            run.lines = report.lines;
            run.written = report.written;
            run.failed = report.failed;
        }
        runs.push_back(run);
    }
    return runs;
}
