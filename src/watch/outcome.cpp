#include "watch/outcome.h"

#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/contract.h"
#include "watch/names.h"

namespace {

constexpr size_t LastLinesBytes = 4096;
constexpr size_t ReasonRoom = 1024;
constexpr const char* GuardWords = "deletion guard";
constexpr const char* UnknownAdvice = "look at the table before delivering the file again";
constexpr const char* ErrorFileWords = "see stderr.txt";

// The last line of a small text file (the importer's standard error) that
// holds part, or its last line when part is empty: for a reason that has
// nothing better to say. Control bytes become blanks.
std::string lastLineOf(const std::string& path, const char* part = "") {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "";
    const std::streamoff size = in.tellg();
    const std::streamoff start = size > static_cast<std::streamoff>(LastLinesBytes) ? size - LastLinesBytes : 0;
    in.seekg(start);
    std::string text(static_cast<size_t>(size - start), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    size_t at = text.rfind(part);
    if (at == std::string::npos) at = text.size();
    const size_t begin = text.rfind('\n', at);
    const size_t from = begin == std::string::npos ? 0 : begin + 1;
    const size_t end = text.find('\n', at);
    std::string line = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return line;
}

// lastLineOf, or for a sender's eyes only where to look: what the importer
// wrote on standard error may quote a record.
std::string outputLine(const std::string& path, OutputQuotes quotes, const char* part = "") {
    return quotes == OutputQuotes::Kept ? lastLineOf(path, part) : ErrorFileWords;
}

// A limit of the section in words: "max-deletes = 50".
std::string limitWords(const char* key, long limit, const char* unit) {
    return std::string(key) + " = " + (limit < 0 ? std::string("off") : std::to_string(limit) + unit);
}

// The command that lets the held file through once.
std::string acceptCommand(const FailedPlace& place) {
    const std::string config = place.config == DefaultConfigPath ? "" : " --config " + place.config;
    return "kelvora-watch" + config + " requeue --accept-deletes " + place.runFolder;
}

// The reason of a held run: each table that would lose too many rows, the
// limits, and the command that lets the file through.
std::string heldReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile,
                       const FailedPlace& place, OutputQuotes quotes) {
    std::string tables;
    for (const GuardedCounts& table : run.guarded) {
        if (!table.tooMany) continue;
        tables += (tables.empty() ? "" : ", ") + table.table + " would lose " + std::to_string(table.deleted) +
                  " of its " + std::to_string(table.before) + " rows";
    }
    const std::string limits = limitWords("max-deletes", record.rule.maxDeletes, "") + ", " +
                               limitWords("max-delete-share", record.rule.maxDeleteShare, " %");
    const std::string why = tables.empty() ? outputLine(errorFile, quotes, GuardWords) : tables + " (" + limits + ")";
    return "held by the deletion guard, nothing was committed: " + why +
           "; if the file is right, let it through once with: " + acceptCommand(place);
}

// The first record the server refused, for a reason: "; the first, line
// L: error N: TEXT"; empty when none was listed. The server's text may
// quote the record's values ("Duplicate entry ..."): without output
// quotes, only the line and the error number.
std::string firstFailure(const RunOutcome& run, OutputQuotes quotes) {
    if (run.firstError == 0) return "";
    char text[ReasonRoom];
    if (quotes == OutputQuotes::Left) {
        snprintf(text, sizeof text, "; the first, line %ld: error %ld", run.firstFailedLine, run.firstError);
        return text;
    }
    snprintf(text, sizeof text, "; the first, line %ld: error %ld: %s", run.firstFailedLine, run.firstError,
             shownName(run.firstErrorText).c_str());
    return text;
}

// A run without a report that says how it went: it could not connect, or
// nobody knows whether it committed.
std::string unreportedReason(const RunOutcome& run, const std::string& errorFile, OutputQuotes quotes) {
    char text[ReasonRoom];
    if (run.connectError != 0) {
        const bool quoted = quotes == OutputQuotes::Kept && !run.connectText.empty();
        snprintf(text, sizeof text, "the importer could not connect (error %ld): %s; nothing was committed",
                 run.connectError, quoted ? run.connectText.c_str() : ErrorFileWords);
    } else if (run.timedOut) {
        snprintf(text, sizeof text,
                 "the import ran longer than import-timeout and was ended (signal %d) without a run report: whether "
                 "it was committed is unknown; %s", run.signal, UnknownAdvice);
    } else if (run.signal != 0) {
        snprintf(text, sizeof text,
                 "the importer was ended by signal %d without a run report: whether it was committed is unknown; %s",
                 run.signal, UnknownAdvice);
    } else {
        snprintf(text, sizeof text,
                 "the importer ended with exit status %d without a run report (%s): whether it was committed is "
                 "unknown; %s",
                 run.status, outputLine(errorFile, quotes).c_str(), UnknownAdvice);
    }
    return text;
}

// A reported run that committed nothing, or may have committed.
std::string uncommittedReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile,
                              OutputQuotes quotes) {
    char text[ReasonRoom];
    if (commitUnknown(run)) {
        snprintf(text, sizeof text,
                 "the connection was lost during the COMMIT (error %ld): whether the run was committed is unknown; %s",
                 run.result, UnknownAdvice);
    } else if (run.ending == TooManyFailedEnding) {
        snprintf(text, sizeof text, "%ld records failed, more than max-failed-records = %ld: nothing was committed%s",
                 run.failed, record.rule.maxFailedRecords, firstFailure(run, quotes).c_str());
    } else if (run.ending == DeletionsNotCountedEnding) {
        snprintf(text, sizeof text, "the deletion guard could not count the rows (error %ld: %s): nothing was committed",
                 run.result, outputLine(errorFile, quotes, GuardWords).c_str());
    } else if (isRetryable(run)) {
        snprintf(text, sizeof text, "the transaction was aborted with error %ld in %d runs: nothing was committed",
                 run.result, record.attempt);
    } else {
        snprintf(text, sizeof text, "the run ended with \"%s\", result %ld, exit %d: nothing was committed",
                 run.ending.c_str(), run.result, run.status);
    }
    return text;
}

// A run that committed, but not the whole file.
std::string partReason(const RunOutcome& run, const RunRecord& record, OutputQuotes quotes) {
    char text[ReasonRoom];
    if (run.failed > 0) {
        snprintf(text, sizeof text, "%ld records failed and are not in the table; the rest was committed%s", run.failed,
                 firstFailure(run, quotes).c_str());
    } else if (run.wrongLength > record.rule.maxWrongLength) {
        snprintf(text, sizeof text,
                 "%ld lines of the wrong length were skipped, more than max-wrong-length = %ld; the rest was committed",
                 run.wrongLength, record.rule.maxWrongLength);
    } else if (!run.failedStatement.empty()) {
        snprintf(text, sizeof text, "the run was committed although its %s statement failed (see stderr.txt)",
                 run.failedStatement.c_str());
    } else {
        snprintf(text, sizeof text, "the run was committed but ended with exit status %d (result %ld)", run.status,
                 run.result);
    }
    return text;
}

bool isAbortEnding(const std::string& ending) {
    for (const char* abort : AbortEndings) {
        if (ending == abort) return true;
    }
    return false;
}

}  // namespace

Committed committedOf(const RunOutcome& run) {
    if (run.connectError != 0) return Committed::No;   // it never connected
    if (!run.reported || commitUnknown(run)) return Committed::Unknown;
    return run.committed ? Committed::Yes : Committed::No;
}

const char* committedText(Committed committed) {
    switch (committed) {
    case Committed::Yes:
        return "committed";
    case Committed::No:
        return "nothing committed";
    case Committed::Unknown:
        break;
    }
    return "unknown whether committed";
}

bool commitUnknown(const RunOutcome& run) {
    return run.reported && run.ending == CommitFailedEnding && run.result >= FirstClientError &&
           run.result <= LastClientError;
}

bool isRetryable(const RunOutcome& run) {
    if (!run.reported || run.committed || commitUnknown(run)) return false;
    return isAbortEnding(run.ending) && retryableName(run.result) != nullptr;
}

std::string abortText(long error) {
    const char* name = retryableName(error);
    if (name != nullptr) return std::string(name) + " (" + std::to_string(error) + ")";
    return "error " + std::to_string(error);
}

bool databaseAway(const RunOutcome& run) {
    return run.connectError != 0 && isOneOf(run.connectError, AwayErrors, std::size(AwayErrors));
}

bool heldByGuard(const RunOutcome& run) {
    return run.reported && !run.committed && run.result == TooManyDeletedResult &&
           (run.ending == TooManyDeletedEnding || run.ending == DeletionsNotCountedEnding);
}

bool importedWhole(const RunOutcome& run, const FileRule& rule) {
    return run.status == 0 && run.reported && run.committed && run.failed == 0 && run.failedStatement.empty() &&
           run.wrongLength <= rule.maxWrongLength;
}

std::string failureReason(const RunOutcome& run, const RunRecord& record, const std::string& errorFile,
                          const FailedPlace& place, OutputQuotes quotes) {
    if (heldByGuard(run)) return heldReason(run, record, errorFile, place, quotes);
    if (run.connectError != 0 || !run.reported) return unreportedReason(run, errorFile, quotes);
    if (!run.committed || commitUnknown(run)) return uncommittedReason(run, record, errorFile, quotes);
    return partReason(run, record, quotes);
}
