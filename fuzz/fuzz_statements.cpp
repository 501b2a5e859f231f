// Fuzz target: every member's statement builders, no database.
//
// Statements of many records travel in one query, so a value that escaped
// its literal could carry a second statement. The input's first byte picks
// the member, the mode and (for SLD) the record form; the rest fills the row's fields, each with up to
// its width of any bytes but NUL. The member plans the record (fill rules,
// a number's normal form and its refusal included), and every statement it
// would send is built. Each built text must have balanced quotes, and
// outside its quoted literals nothing that ends a statement or starts a
// comment or another kind of quote: no ";", '"', "`", "#", "--" or "/*".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "common/runstate.h"
#include "common/textfile.h"
#include "db/connection.h"
#include "import/members.h"
#include "import/statement.h"

namespace {

constexpr unsigned char UpdateModeBit = 0x80;
constexpr unsigned char ShortFormBit = 0x40;
constexpr unsigned char MemberBits = 0x3F;

// Work files whose first line makes SLD choose its long or its short form,
// and with it the statement with or without TswAmp.
char LongFormPath[] = "/tmp/kelvora-fuzz-sld-long-XXXXXX";
char ShortFormPath[] = "/tmp/kelvora-fuzz-sld-short-XXXXXX";

void removeFormFiles() {
    unlink(LongFormPath);
    unlink(ShortFormPath);
}

void writeFormFile(char* path, int32_t recordLength) {
    int fd = mkstemp(path);
    std::string line(static_cast<size_t>(recordLength - 1), 'x');
    line += '\n';
    if (fd < 0 || write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        fprintf(stderr, "fuzz_statements: cannot write %s\n", path);
        abort();
    }
    close(fd);
}

// Lets SLD choose its form as a run does, from a work file's first line.
void chooseForm(const ImportMember& member, bool shortForm) {
    if (member.chooseRecordKind == nullptr) return;
    static TextFile file;
    if (!openTextFile(file, shortForm ? ShortFormPath : LongFormPath)) abort();
    member.chooseRecordKind(file);
    closeTextFile(file);
}

[[noreturn]] void fail(const char* what, const char* text) {
    fprintf(stderr, "fuzz_statements: %s\n%s\n", what, text);
    abort();
}

// Whether the text outside literals at p starts something that the
// statements of this program never hold there.
bool forbiddenOutside(const char* p) {
    if (*p == ';' || *p == '"' || *p == '`' || *p == '#') return true;
    return (p[0] == '-' && p[1] == '-') || (p[0] == '/' && p[1] == '*');
}

// Walks the text as the server reads literals: inside one, a backslash
// takes the next byte and a doubled apostrophe is an apostrophe.
void checkStatement(const char* text) {
    bool inside = false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (!inside) {
            if (forbiddenOutside(p)) fail("statement text outside a literal", text);
            if (*p == '\'') inside = true;
            continue;
        }
        if (*p == '\\') {
            if (p[1] == '\0') fail("backslash at the end", text);
            ++p;
        } else if (*p == '\'') {
            if (p[1] == '\'') {
                ++p;
            } else {
                inside = false;
            }
        }
    }
    if (inside) fail("unbalanced quotes", text);
}

// A statement that does not fit is refused, never sent: nothing to check.
void buildAndCheck(RowStatement statement, const RecordRow& row) {
    if (statement != nullptr && statement(row)) checkStatement(StatementBuffer);
}

// Fills the member's fields in layout order from the input.
void fillRow(const ImportMember& member, const uint8_t* data, size_t size, RecordRow& row) {
    memset(&row, 0, sizeof row);
    size_t at = 0;
    for (int i = 0; i < member.fieldCount && at < size; ++i) {
        const FieldSpec& place = member.layout[i];
        char* target = row[place.target];
        int length = 0;
        while (length < place.width && at < size) {
            char c = static_cast<char>(data[at++]);
            if (c != '\0') target[length++] = c;
        }
        target[length] = '\0';
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!prepareConnection()) {
        fprintf(stderr, "fuzz_statements: the client library could not start\n");
        abort();
    }
    writeFormFile(LongFormPath, RecordLengthTable[RecordSLDLong]);
    writeFormFile(ShortFormPath, RecordLengthTable[RecordSLDShort]);
    atexit(removeFormFiles);
    snprintf(ServerDate, sizeof ServerDate, "%s", "20261208");
    snprintf(DbSystemName, sizeof DbSystemName, "%s", "MYSQL");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const ImportMember& member = *AllMembers[(data[0] & MemberBits) % MemberCount];
    UpdateMode = (data[0] & UpdateModeBit) != 0 ? 1 : 0;
    chooseForm(member, (data[0] & ShortFormBit) != 0);
    static RecordRow row;
    fillRow(member, data + 1, size - 1, row);
    RecordPlan plan;
    member.planRecord(row, plan);
    for (int k = 0; k < plan.stepCount; ++k) {
        buildAndCheck(plan.steps[k].statement, row);
        buildAndCheck(plan.steps[k].insert, row);
    }
    return 0;
}
