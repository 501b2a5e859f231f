#include "import/report.h"

#include <string_view>

#include "common/diag.h"
#include "import/failures.h"
#include "import/statement.h"

ImportTally Tally;
int32_t RecordCount = 0;

namespace {

constexpr long ListedRecords = 20;

const char* FileName = "";
long Listed = 0;
long LeftOut = 0;

// The first failed or rejected records are listed; the rest are counted.
bool mayList() {
    if (Listed < ListedRecords) {
        Listed++;
        return true;
    }
    LeftOut++;
    return false;
}

// A server's text, or a word that there is none.
const char* textOr(const char* serverText) {
    return serverText != nullptr && serverText[0] != '\0' ? serverText : "(no text)";
}

}  // namespace

void reportFile(const char* path) {
    FileName = path;
}

void reportWrongLength(long line, long actualLength, long recordLength) {
    Tally.wrongLength++;
    if (!mayList()) return;
    diagnoseAt(Severity::Warning,
               "%s line %ld: wrong length %ld, a record has %ld (line end included); the line is skipped", FileName,
               line, actualLength, recordLength);
}

void reportFailedRecord(long line, int32_t code, const char* serverText) {
    Tally.failed++;
    keepFailedRecord(line, code, serverText);
    if (!mayList()) return;
    if (code < 0) {
        diagnoseAt(Severity::Warning,
                   "%s line %ld: the record failed with %d before reaching the server (a value it cannot send)",
                   FileName, line, code);
        return;
    }
    diagnoseAt(Severity::Warning, "%s line %ld: the server refused the record with error %d: %s", FileName, line, code,
               textOr(serverText));
}

void reportWritten() {
    Tally.written++;
}

void reportTransactionEnded(long line, int32_t code, const char* serverText) {
    if (line > 0) {
        Tally.failed++;
        keepFailedRecord(line, code, serverText);
        diagnoseAt(Severity::Error,
                   "%s line %ld: error %d ended the transaction on the server: %s; nothing more is sent and nothing "
                   "is committed",
                   FileName, line, code, textOr(serverText));
    } else {
        diagnoseAt(Severity::Error,
                   "%s: error %d ended the transaction on the server: %s; nothing more is sent and nothing is "
                   "committed",
                   FileName, code, textOr(serverText));
    }
}

void reportStatementTooLong(long line) {
    diagnoseAt(Severity::Error,
               "%s line %ld: the record's statement does not fit its %d-byte buffer; the run ends and nothing is "
               "committed",
               FileName, line, StatementBufferSize);
}

void reportStatementFailed(const char* kind, const char* statement, const char* role, int32_t code,
                           const char* serverText, const char* leaves) {
    Tally.failedStatement = kind;
    std::string_view text(statement);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    diagnoseAt(Severity::Warning, "%s: the %s statement \"%.*s\"%s%s%s failed with error %d: %s%s%s", FileName, kind,
               static_cast<int>(text.size()), text.data(), role != nullptr ? " (" : "", role != nullptr ? role : "",
               role != nullptr ? ")" : "", code, textOr(serverText), leaves != nullptr ? "; " : "",
               leaves != nullptr ? leaves : "");
}

void reportUtf8File(long line, const char* bytes) {
    diagnoseAt(Severity::Error,
               "%s line %ld holds the UTF-8 sequence %s, and every byte above ASCII in the file belongs to such a "
               "sequence: the file is UTF-8, not Windows-1252, and nothing is imported; convert it with "
               "iconv -f UTF-8 -t WINDOWS-1252 %s > NEWFILE and import NEWFILE",
               FileName, line, bytes, FileName);
}

void reportLeftOut() {
    if (LeftOut > 0)
        diagnoseAt(Severity::Warning, "%s: %ld more failed or rejected records are not listed", FileName, LeftOut);
}
