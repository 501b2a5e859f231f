#include "import/statement.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/contract.h"
#include "db/connection.h"

char StatementBuffer[StatementBufferSize];

namespace {

constexpr int EscapeBufferSize = 2 * StatementBufferSize + 1;
constexpr int NumberTextSize = 24;
constexpr const char* NullLiteral = "NULL";

constexpr int FailureTextSize = 512;

RunStop Stop = RunStop::None;
char FailureText[FailureTextSize] = "";
int32_t StopCode = 0;
bool TransactionSeenOpen = false;

// The statement being formatted: its length so far in StatementBuffer, and
// whether it has outgrown the buffer.
struct StatementText {
    size_t length = 0;
    bool tooLong = false;
};

// A format and its arguments that do not agree are a fault in the program.
[[noreturn]] void formatMismatch(const char* format) {
    fprintf(stderr, "statement format and arguments disagree: %s\n", format);
    std::abort();
}

// Appends text, or marks the statement too long: its text and the
// terminating NUL must fit the buffer.
void append(StatementText& out, std::string_view text) {
    if (out.tooLong) return;
    if (out.length + text.size() >= StatementBufferSize) {
        out.tooLong = true;
        return;
    }
    memcpy(StatementBuffer + out.length, text.data(), text.size());
    out.length += text.size();
}

// An escaped value is at most twice as long as the value; one that could not
// fit the buffer even unescaped makes the statement too long.
void appendEscaped(StatementText& out, const char* value) {
    static char escaped[EscapeBufferSize];
    std::string_view text(value);
    long length = text.size() < StatementBufferSize ? escapeSqlValue(escaped, sizeof escaped, text) : -1;
    if (length < 0) {
        out.tooLong = true;
        return;
    }
    append(out, std::string_view(escaped, static_cast<size_t>(length)));
}

void appendNumber(StatementText& out, long value) {
    char number[NumberTextSize];
    int length = snprintf(number, sizeof number, "%ld", value);
    append(out, std::string_view(number, static_cast<size_t>(length)));
}

// One "%s" conversion: a text is escaped; an optional text becomes its
// quoted, escaped literal or NULL when empty; a raw fragment goes in as it is.
void appendTextArgument(StatementText& out, const SqlArg& arg, const char* format) {
    if (arg.kind == SqlArgKind::Text) {
        appendEscaped(out, arg.text);
    } else if (arg.kind == SqlArgKind::OptionalText) {
        if (arg.text[0] == '\0') {
            append(out, NullLiteral);
            return;
        }
        append(out, "'");
        appendEscaped(out, arg.text);
        append(out, "'");
    } else if (arg.kind == SqlArgKind::Raw) {
        append(out, arg.text);
    } else {
        formatMismatch(format);
    }
}

// One "%d" or "%hd" conversion; "%hd" takes the value as a 16-bit number.
void appendNumberArgument(StatementText& out, const SqlArg& arg, bool shortValue, const char* format) {
    if (arg.kind != SqlArgKind::Number) formatMismatch(format);
    appendNumber(out, shortValue ? static_cast<short>(arg.number) : arg.number);
}

// Failures that end the transaction or the connection, not just the
// statement: a deadlock, a lock wait timeout (another run holds the rows; a
// sync that went on would sweep what it could not write), a killed
// connection, and every error of the client itself (lost connection and
// the like).
bool endsTheTransaction(int32_t code) {
    if (code == LockWaitTimeoutError || code == DeadlockError || code == ConnectionKilledError) return true;
    return code >= FirstClientError && code <= LastClientError;
}

// After any other failure the server is asked whether the run's transaction
// is still open: a failure that rolled it back silently would otherwise let
// the next statement start a new one, and the COMMIT would keep only the
// rest of the file. A duplicate key never ends a transaction, and a run
// whose statements never opened one (tables without transactions) has none
// to lose.
bool transactionLostBy(int32_t code) {
    if (endsTheTransaction(code)) return true;
    if (code == ErrorDuplicateKey || !TransactionSeenOpen) return false;
    bool open = true;
    int32_t asked = askTransactionOpen(open);
    if (asked != 0) return endsTheTransaction(asked);
    return !open;
}

// What a statement gives once the run has stopped: nothing is sent.
int32_t stoppedResult() {
    return Stop == RunStop::TransactionEnded ? StopCode : StatementTooLongResult;
}

}  // namespace

bool formatStatement(const char* format, const SqlArg* args, int count) {
    StatementText out;
    const SqlArg* next = args;
    const SqlArg* end = args + count;
    const char* p = format;
    while (*p != '\0') {
        const char* percent = strchr(p, '%');
        if (percent == nullptr) {
            append(out, p);
            break;
        }
        append(out, std::string_view(p, static_cast<size_t>(percent - p)));
        p = percent + 1;
        if (*p == '%') {
            append(out, "%");
            p++;
            continue;
        }
        bool shortValue = false;
        if (*p == 'h') {
            shortValue = true;
            p++;
        }
        if (next == end || (*p != 's' && *p != 'd')) formatMismatch(format);
        if (*p == 's' && !shortValue) {
            appendTextArgument(out, *next, format);
        } else if (*p == 'd') {
            appendNumberArgument(out, *next, shortValue, format);
        } else {
            formatMismatch(format);
        }
        ++next;
        p++;
    }
    if (next != end) formatMismatch(format);
    StatementBuffer[out.tooLong ? 0 : out.length] = '\0';
    return !out.tooLong;
}

bool formatStatement(const char* format, std::initializer_list<SqlArg> args) {
    return formatStatement(format, args.begin(), static_cast<int>(args.size()));
}

std::string escapedSqlText(std::string_view value) {
    std::string escaped(2 * value.size() + 1, '\0');
    long length = escapeSqlValue(escaped.data(), escaped.size(), value);
    escaped.resize(length < 0 ? 0 : static_cast<size_t>(length));
    return escaped;
}

std::string quotedIdentifier(std::string_view name) {
    std::string quoted = "`";
    for (char c : name) {
        if (c == '`') quoted += '`';
        quoted += c;
    }
    return quoted + "`";
}

RunStop runStop() {
    return Stop;
}

int32_t runStopCode() {
    return StopCode;
}

int32_t checkedResult(const StatementResult& result) {
    const int32_t code = result.code;
    if (code == 0) {
        if (result.inTransaction) TransactionSeenOpen = true;
        return code;
    }
    snprintf(FailureText, sizeof FailureText, "%s", lastStatementErrorText());
    if (Stop == RunStop::None && transactionLostBy(code)) {
        Stop = RunStop::TransactionEnded;
        StopCode = code;
    }
    return code;
}

const char* lastFailureText() {
    return FailureText;
}

void stopForLongStatement() {
    if (Stop == RunStop::None) Stop = RunStop::StatementTooLong;
}

int32_t runFixedStatement(const char* text) {
    if (Stop != RunStop::None) return stoppedResult();
    return checkedResult(runStatement(text));
}
