#include "watch/checks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/charset.h"
#include "common/encoding.h"
#include "common/fd.h"
#include "common/fileio.h"
#include "common/textfile.h"
#include "import/recordkinds.h"
#include "watch/acceptance.h"
#include "watch/clocks.h"
#include "watch/digest.h"
#include "watch/durable.h"
#include "watch/filing.h"
#include "watch/names.h"
#include "watch/order.h"
#include "watch/pair.h"
#include "watch/runfolder.h"
#include "watch/runimport.h"
#include "common/diag.h"

namespace {

constexpr unsigned char ByteOrderMark[] = {0xEF, 0xBB, 0xBF};
constexpr const char* ConvertingName = ".converting";
constexpr size_t HexTextSize = 3 * MaxSequenceBytes + 1;

// What one pass over the file's bytes (up to a Ctrl-Z) learns.
struct ByteFacts {
    Utf8Scan scan;
    long long count = 0;
    unsigned char last = 0;
    const StopAsked* stop = nullptr;
};

bool stopAsked(const StopAsked* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// The lines as the importer reads them.
struct LineFacts {
    long records = 0;
    long wrong = 0;
    long firstWrong = 0;         // its line number
    long firstWrongLength = 0;
    int32_t recordLength = 0;
};

// A conversion of the file into the one that is imported.
struct Conversion {
    CharsetConversion charset;
    const StopAsked* stop = nullptr;
    UniqueFd fd;
    bool started = false;
    bool converted = true;   // false once a character had no Windows-1252 form
    bool written = true;     // false once a write failed
    std::string out;
};

// Bytes as hexadecimal pairs, for the reasons: "C3 B6".
std::string hexText(const unsigned char* bytes, size_t count) {
    char text[HexTextSize] = "";
    size_t used = 0;
    for (size_t i = 0; i < count && used + 3 < sizeof text; ++i) {
        used += static_cast<size_t>(snprintf(text + used, sizeof text - used, "%s%02X", i == 0 ? "" : " ", bytes[i]));
    }
    return text;
}

// One piece of the file's bytes, into its facts.
bool takeFacts(const unsigned char* bytes, size_t count, void* context) {
    ByteFacts& facts = *static_cast<ByteFacts*>(context);
    scanUtf8(facts.scan, bytes, count);
    if (count > 0) facts.last = bytes[count - 1];
    facts.count += static_cast<long long>(count);
    return !stopAsked(facts.stop);
}

// The byte pass over the file; false (with the reason) when it cannot be read.
bool readFacts(const std::string& path, ByteFacts& facts, std::string& reason) {
    thread_local TextFile file;
    if (!openTextFile(file, path.c_str()) || !readBytesWhile(file, takeFacts, &facts)) {
        reason = std::string("the file cannot be read: ") + strerror(file.fd < 0 ? errno : file.readError);
        closeTextFile(file);
        return false;
    }
    closeTextFile(file);
    return true;
}

// A byte order mark at the start is dropped: Windows-1252 has none.
bool takeConverted(const unsigned char* bytes, size_t count, void* context) {
    Conversion& conversion = *static_cast<Conversion*>(context);
    if (!conversion.converted || !conversion.written) return true;
    if (!conversion.started && count >= sizeof ByteOrderMark && memcmp(bytes, ByteOrderMark, sizeof ByteOrderMark) == 0) {
        bytes += sizeof ByteOrderMark;
        count -= sizeof ByteOrderMark;
    }
    conversion.started = true;
    conversion.out.clear();
    conversion.converted = convertPiece(conversion.charset, bytes, count, conversion.out);
    conversion.written = writeAll(conversion.fd.get(), conversion.out.data(), conversion.out.size());
    return !stopAsked(conversion.stop);
}

// UTF-8 into Windows-1252 with iconv(3), from path into converted.
bool convertFile(const std::string& path, const std::string& converted, std::string& reason, CheckFault& fault,
                 const StopAsked* stop) {
    Conversion conversion;
    conversion.stop = stop;
    thread_local TextFile file;
    if (!openConversion(conversion.charset, Utf8, Windows1252, Unconvertible::Stop)) {
        reason = "iconv cannot convert UTF-8 to Windows-1252 on this system";
        return false;
    }
    unlink(converted.c_str());
    conversion.fd.reset(open(converted.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, RunFileMode));
    bool read = conversion.fd.valid() && openTextFile(file, path.c_str()) && readBytesWhile(file, takeConverted, &conversion);
    closeTextFile(file);
    if (read && conversion.converted && conversion.written) {
        conversion.out.clear();
        conversion.converted = finishConversion(conversion.charset, conversion.out);
        conversion.written = writeAll(conversion.fd.get(), conversion.out.data(), conversion.out.size());
    }
    if (read && conversion.converted && conversion.written && fsync(conversion.fd.get()) != 0) conversion.written = false;
    const int error = errno;
    if (!conversion.fd.close()) conversion.written = false;
    if (read && conversion.converted && conversion.written) return true;
    if (!conversion.converted) {
        char where[64];
        snprintf(where, sizeof where, "line %ld", conversion.charset.line);
        fault = CheckFault::Bytes;
        reason = std::string(where) + " holds a character without a Windows-1252 form (UTF-8 bytes " +
                 hexText(conversion.charset.failed, conversion.charset.failedLength) + "), and encoding = utf-8";
    } else {
        reason = "the file cannot be converted into " + converted + ": " + strerror(error);
    }
    return false;
}

// Reads the lines with the importer's own reader and record length (for
// SLD the form its first line chooses).
bool countLines(const std::string& path, const std::string& typeCode, LineFacts& facts, std::string& reason,
                const StopAsked* stop) {
    thread_local TextFile file;
    thread_local char line[RecordBufferSize];
    if (!openTextFile(file, path.c_str())) {
        reason = std::string("the file cannot be read: ") + strerror(errno);
        return false;
    }
    RecordKind kind = recordKindOf(typeCode.c_str());
    if (kind == RecordSLDLong) kind = balanceFormOf(file, line);
    facts.recordLength = RecordLengthTable[kind];
    long number = 0;
    long length = 0;
    while ((length = readRecordLine(file, line, facts.recordLength)) >= 0) {
        if (stopAsked(stop)) {
            closeTextFile(file);
            reason = strerror(ECANCELED);
            return false;
        }
        number++;
        if (isLoneNewline(line)) continue;
        if (length == facts.recordLength) {
            facts.records++;
            continue;
        }
        if (facts.wrong++ == 0) {
            facts.firstWrong = number;
            facts.firstWrongLength = length;
        }
    }
    const int readError = file.readError;
    closeTextFile(file);
    if (readError == 0) return true;
    reason = std::string("the file cannot be read: ") + strerror(readError);
    return false;
}

// Why the file's encoding is not the one its section says.
std::string encodingReason(const ByteFacts& facts, bool utf8) {
    char text[256];
    if (utf8) {
        snprintf(text, sizeof text, "line %ld is not valid UTF-8, and encoding = utf-8", facts.scan.line);
    } else {
        snprintf(text, sizeof text, "the file is UTF-8 (line %ld holds %s), and encoding = windows-1252",
                 facts.scan.firstLine,
                 hexText(facts.scan.firstSequence, static_cast<size_t>(facts.scan.firstSequenceLength)).c_str());
    }
    return text;
}

// The checks of the lines: not empty unless allowed, not too many wrong.
bool linesPass(const LineFacts& lines, const FileRule& rule, std::string& reason, CheckFault& fault) {
    if (lines.wrong <= rule.maxWrongLength && (lines.records + lines.wrong > 0 || rule.allowEmpty)) return true;
    fault = CheckFault::Bytes;
    if (lines.records + lines.wrong == 0) {
        reason = "the file is empty or holds only line ends: it would empty or sweep the table, and allow-empty = no";
        return false;
    }
    char text[256];
    snprintf(text, sizeof text,
             "%ld %s of the wrong length (the first is line %ld with %ld characters; a %s record has %d, line end "
             "included), more than max-wrong-length = %ld",
             lines.wrong, lines.wrong == 1 ? "line" : "lines", lines.firstWrong, lines.firstWrongLength, rule.typeCode.c_str(), lines.recordLength,
             rule.maxWrongLength);
    reason = text;
    return false;
}

// The checks of either encoding: the file whole (its last line ended), in
// the encoding its section says, and its lines; a UTF-8 file is converted
// into converted first.
bool checkWhole(const std::string& path, const FileRule& rule, const std::string& converted, std::string& reason,
                CheckFault& fault, const StopAsked* stop) {
    ByteFacts facts;
    facts.stop = stop;
    if (!readFacts(path, facts, reason)) return false;
    if (facts.count > 0 && facts.last != '\n') {
        fault = CheckFault::Bytes;
        reason = "the last line has no line end: the transfer was cut off";
        return false;
    }
    const bool validUtf8 = !facts.scan.broken && facts.scan.sequenceNeeds == 0;
    if (rule.utf8 ? !validUtf8 : isUtf8File(facts.scan)) {
        fault = CheckFault::Bytes;
        reason = encodingReason(facts, rule.utf8);
        return false;
    }
    if (rule.utf8 && !convertFile(path, converted, reason, fault, stop)) return false;
    LineFacts lines;
    return countLines(rule.utf8 ? converted : path, rule.typeCode, lines, reason, stop) &&
           linesPass(lines, rule, reason, fault);
}

// What the checks of one taken file work on, copied for the thread they
// run in.
struct CheckWork {
    FileRule rule;
    std::string delivered;    // the file as delivered, in the run folder
    std::string source;       // the file the importer reads
    std::string fileFolder;   // file/ of the run folder, where a UTF-8 delivery's conversion goes
    std::string importName;
    bool digestDelivered;     // its marker, an acceptance or a receipt asks for the delivered bytes' SHA-256
    bool digestSource;        // a journal asks for the imported bytes' SHA-256
};

// Converts a UTF-8 delivery into the file the importer reads.
bool convertDelivered(const CheckWork& work, std::string& reason, CheckFault& fault, const StopAsked& stop) {
    const std::string converting = pathIn(work.fileFolder, ConvertingName);
    if (!checkWhole(work.delivered, work.rule, converting, reason, fault, &stop)) {
        unlink(converting.c_str());
        return false;
    }
    UniqueFd folder(openFolder(AT_FDCWD, work.fileFolder));
    const bool renamed = folder.valid() &&
                         renameat(folder.get(), ConvertingName, folder.get(), work.importName.c_str()) == 0 &&
                         syncFolder(folder.get());
    if (!renamed) reason = std::string("the converted file cannot be kept: ") + strerror(errno);
    return renamed;
}

// A SHA-256 the step needs: read, or why not.
void takeDigest(const std::string& path, DigestRead& digest, const StopAsked& stop) {
    digest.read = digestFile(path, digest.digest, &stop);
    digest.error = digest.read ? 0 : errno;
}

// The checks beside the loop: the digests asked for, the checks (and the
// conversion of a UTF-8 delivery), and the file's size and time as it
// passed them.
void runChecks(const CheckWork& work, CheckOutcome& outcome, const StopAsked& stop) {
    if (work.digestDelivered) takeDigest(work.delivered, outcome.delivered, stop);
    outcome.passed = work.rule.utf8 ? convertDelivered(work, outcome.reason, outcome.fault, stop)
                                    : checkWhole(work.source, work.rule, "", outcome.reason, outcome.fault, &stop);
    struct stat info;
    if (outcome.passed && stat(work.source.c_str(), &info) == 0) {
        outcome.checkedSize = info.st_size;
        outcome.checkedModified = nanosecondsOf(info.st_mtim);
    }
    if (outcome.passed && work.digestSource) {
        if (work.digestDelivered && !work.rule.utf8) {
            outcome.source = outcome.delivered;
        } else {
            takeDigest(work.source, outcome.source, stop);
        }
    }
    outcome.stopped = stop.load();
}

// With a journal: the SHA-256 of the file the importer will read, and the
// journal its imports write to, both kept in the run's record.
bool takeJournalFacts(Job& job, const CheckOutcome& outcome, std::string& reason) {
    job.record.journal = job.site.journal;
    if (job.record.journal.empty()) return true;
    if (!outcome.source.read) {
        reason = std::string("not imported: its SHA-256 cannot be taken: ") + strerror(outcome.source.error);
        return false;
    }
    job.record.sha256 = outcome.source.digest.sha256;
    return true;
}

// The checks were stopped (the watcher stops): the run stays in the
// staging area as it was taken, and the next start checks it again.
bool leaveUnchecked(Job& job) {
    diagnose("%s %s: stopped while its checks ran; the run stays in %s, and the next start checks it",
             shownName(job.record.name).c_str(), job.record.rule.typeCode.c_str(), job.folder.c_str());
    closeRun(job);
    return true;
}

}  // namespace

bool checkFile(const std::string& path, const FileRule& rule, std::string& reason) {
    CheckFault fault = CheckFault::Reading;
    return checkWhole(path, rule, "", reason, fault, nullptr);
}

bool checkAndConvert(const std::string& path, const FileRule& rule, const std::string& converted,
                     std::string& reason) {
    CheckFault fault = CheckFault::Reading;
    return checkWhole(path, rule, converted, reason, fault, nullptr);
}

bool checkAndStart(Watcher& watcher, Job& job, double) {
    const bool acceptance = acceptanceWaits(watcher.stagingFd.get(), job.record.name) && !job.record.deletesAccepted;
    const CheckWork work = {job.record.rule,
                            deliveredCopy(job),
                            job.source,
                            pathIn(job.folder, FileFolder),
                            importName(job.record.name),
                            !job.record.rule.marker.empty() || acceptance || !job.site.receipts.empty(),
                            !job.site.journal.empty()};
    auto outcome = std::make_shared<CheckOutcome>();
    job.checked = outcome;
    job.phase = Phase::Checking;
    job.work = startBackground(watcher.wakeFd.get(),
                               [work, outcome](const StopAsked& stop) { runChecks(work, *outcome, stop); });
    return false;
}

bool afterChecks(Watcher& watcher, Job& job, double now) {
    const std::shared_ptr<CheckOutcome> outcome = std::move(job.checked);
    if (outcome->stopped) return leaveUnchecked(job);
    takeDeletesAcceptance(watcher, job, outcome->delivered.read ? outcome->delivered.digest.sha256 : "");
    if (outcome->delivered.read) {
        job.record.deliveredSha256 = outcome->delivered.digest.sha256;
        job.record.deliveredSize = outcome->delivered.digest.bytes;
    }
    std::string reason;
    // Bytes that are at fault (or that are not what their marker says)
    // would fail the same way again: requeue asks for --force.
    job.record.failedChecks = outcome->delivered.read;
    const MarkerMatch marker = matchesMarker(job, outcome->delivered, reason);
    if (marker == MarkerMatch::Unreadable) return fileAsFailed(watcher, job, Committed::No, reason, now);
    if (marker == MarkerMatch::Differs) return fileAsRefused(watcher, job, reason, now);
    job.record.failedChecks = !outcome->passed && outcome->fault == CheckFault::Bytes;
    if (job.record.failedChecks) return fileAsRefused(watcher, job, "not imported: " + outcome->reason, now);
    if (!outcome->passed) return fileAsFailed(watcher, job, Committed::No, "not imported: " + outcome->reason, now);
    job.record.checkedSize = outcome->checkedSize;
    job.record.checkedModified = outcome->checkedModified;
    if (olderThanImported(watcher, job, reason)) return fileAsRefused(watcher, job, reason, now);
    if (!takeJournalFacts(job, *outcome, reason)) return fileAsFailed(watcher, job, Committed::No, reason, now);
    noteStep(job, Step::Checked);
    return startRun(watcher, job, now);
}
