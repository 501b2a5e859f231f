// kelvora-files-page: writes the manual page kelvora-files(5), the record
// layouts of the interface files. The build runs it, so the page is made
// from the members' own layout descriptions, the same text that
// kelvora-samples --layout prints, and cannot drift from them.
//   kelvora-files-page FILE
#include <cstdio>
#include <string>

#include "common/fd.h"
#include "import/layouttext.h"
#include "import/members.h"

#ifndef KELVORA_VERSION
#error "KELVORA_VERSION must give the project's version"
#endif

namespace {

const char* const PageHead =
    ".TH KELVORA-FILES 5 \"\" \"Kelvora " KELVORA_VERSION "\" \"File Formats\"\n"
    ".SH NAME\n"
    "kelvora-files \\- record layouts of the interface files that Kelvora_MYSQL imports\n"
    ".SH DESCRIPTION\n"
    "An interface file holds one record per line, in fixed-width fields, as\n"
    "single-byte Windows-1252 text.\n"
    "Each type code has its own record length, counted with the line end as one\n"
    "character: a CR LF pair is one line end, a lone CR is data, and a Ctrl-Z\n"
    "byte ends the input.\n"
    "A line of another length is reported as\n"
    "\\(lqDatensatz mit falscher Satzlaenge!!\\(rq and skipped; a line that holds\n"
    "nothing but its line end is passed over.\n"
    ".PP\n"
    "The fields lie at fixed columns, counted from 1.\n"
    "A trimmed field loses its trailing blanks before it is written; an untrimmed\n"
    "one is written as it stands.\n"
    "Every value is written byte for byte (apostrophes and backslashes included).\n"
    "The column names the target column, with what the importer makes of the\n"
    "value where it does more than write it.\n"
    ".PP\n"
    "The layouts below are made from the importer's own descriptions when it is\n"
    "built;\n"
    ".B kelvora-samples \\-\\-layout\n"
    ".I type\n"
    "prints the same text for one type code.\n"
    ".SH \"TYPE CODES\"\n";

const char* const PageTail =
    ".SH \"SEE ALSO\"\n"
    ".BR Kelvora_MYSQL (1),\n"
    ".BR kelvora-check (1)\n";

// One line of plain text as roff text that is printed as it stands: a
// backslash is written as \e, and a line that starts with a dot or an
// apostrophe is led by \& so that it is no request.
std::string roffLine(const std::string& line) {
    std::string out;
    if (!line.empty() && (line[0] == '.' || line[0] == '\'')) out = "\\&";
    for (char c : line) {
        if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    return out;
}

// The layout text of a member as an example block: monospaced, its lines
// kept as they are.
std::string layoutSection(const ImportMember& member) {
    std::string section = std::string(".SS ") + member.typeCode + "\n.EX\n";
    std::string text = layoutText(member);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        section += roffLine(text.substr(start, end - start)) + "\n";
        start = end + 1;
    }
    return section + ".EE\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: kelvora-files-page FILE\n", stderr);
        return 2;
    }
    std::string page = PageHead;
    for (const ImportMember* member : AllMembers) page += layoutSection(*member);
    page += PageTail;
    UniqueFile file(fopen(argv[1], "wbe"));
    if (!file.valid()) {
        perror(argv[1]);
        return 1;
    }
    bool written = fputs(page.c_str(), file.get()) != EOF;
    if (!file.close() || !written) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
