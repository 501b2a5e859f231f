#include "import/statement.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "db/connection.h"

char StatementBuffer[StatementBufferSize];

namespace {

constexpr int EscapeBufferSize = 2 * StatementBufferSize + 1;
constexpr int NumberTextSize = 24;
constexpr const char* NullLiteral = "NULL";

// The statement being formatted: its length so far in StatementBuffer.
struct StatementText {
    size_t length = 0;
};

// A statement that does not fit its buffer ends the run at once, before
// anything is sent: the transaction is never committed.
[[noreturn]] void statementTooLong() {
    std::exit(StatementTooLongExitStatus);
}

// A format and its arguments that do not agree are a fault in the program.
[[noreturn]] void formatMismatch(const char* format) {
    fprintf(stderr, "statement format and arguments disagree: %s\n", format);
    std::abort();
}

void append(StatementText& out, std::string_view text) {
    if (out.length + text.size() >= StatementBufferSize) statementTooLong();
    memcpy(StatementBuffer + out.length, text.data(), text.size());
    out.length += text.size();
}

void appendEscaped(StatementText& out, const char* value) {
    static char escaped[EscapeBufferSize];
    std::string_view text(value);
    if (2 * text.size() + 1 > sizeof escaped) statementTooLong();
    long length = escapeSqlValue(escaped, sizeof escaped, text);
    if (length < 0) statementTooLong();
    append(out, std::string_view(escaped, static_cast<size_t>(length)));
}

void appendNumber(StatementText& out, long value) {
    char number[NumberTextSize];
    int length = snprintf(number, sizeof number, "%ld", value);
    append(out, std::string_view(number, static_cast<size_t>(length)));
}

// One "%s" conversion: a text is escaped, a raw fragment goes in as it is.
void appendTextArgument(StatementText& out, const SqlArg& arg, const char* format) {
    if (arg.kind == SqlArgKind::Text) {
        appendEscaped(out, arg.text);
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

}  // namespace

void formatStatement(const char* format, const SqlArg* args, int count) {
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
    StatementBuffer[out.length] = '\0';
}

void formatStatement(const char* format, std::initializer_list<SqlArg> args) {
    formatStatement(format, args.begin(), static_cast<int>(args.size()));
}

int32_t runStatement(const char* format, const SqlArg* args, int count) {
    formatStatement(format, args, count);
    return executeStatement(StatementBuffer);
}

int32_t runStatement(const char* format, std::initializer_list<SqlArg> args) {
    return runStatement(format, args.begin(), static_cast<int>(args.size()));
}

int32_t runFixedStatement(const char* text) {
    return executeStatement(text);
}

void buildOptionalLiteral(const char* value, char* target, int targetSize) {
    if (value[0] == '\0') {
        snprintf(target, static_cast<size_t>(targetSize), "%s", NullLiteral);
        return;
    }
    size_t length = strlen(value);
    if (static_cast<size_t>(targetSize) < 2 * length + 3) statementTooLong();
    target[0] = '\'';
    long escaped = escapeSqlValue(target + 1, static_cast<size_t>(targetSize) - 2, value);
    if (escaped < 0) statementTooLong();
    target[escaped + 1] = '\'';
    target[escaped + 2] = '\0';
}
