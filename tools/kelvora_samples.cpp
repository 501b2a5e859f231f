// kelvora-samples: writes realistic interface files for the importer, one per
// type code, for demonstrations and load tests.
//
//   kelvora-samples [--faulty | --clean] DIR [N [TYPE...]]
//   kelvora-samples --layout TYPE
//   kelvora-samples --help
//
// Writes DIR/20P.txt, DIR/35P.txt, ... DIR/FCD.txt in the fixed-width record
// layouts the importer reads. Without N each file holds a small, varied set
// (a few hundred records for 20P, twenty to fifty for the others, and two
// "*ZKO" records at the end of 35P); with --faulty each of these files also
// holds one line that is one character short and one record that ends in CR
// LF, as files from the delivering system sometimes do (by default they do
// not, so that they pass the watcher's default checks). With N
// every file holds exactly N valid records with unique keys and LF line ends,
// and naming type codes after N writes only those files. The content depends
// on nothing but the record number, so every run writes the same bytes.
// DIR is created when it is missing. --layout prints the record layout of
// a type code as the importer reads it.
//
// Texts are Windows-1252: an umlaut is one byte ("\xE4" is a-umlaut). Dates
// are YYYYMMDD, time stamps YYYYMMDDHHMMSS.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/stat.h>

#include "common/fd.h"
#include "common/strutil.h"
#include "import/layouttext.h"
#include "import/members.h"

namespace {

constexpr size_t OutputBufferSize = 1 << 20;  // large writes for the load tests
constexpr long MaxRecordsPerFile = 99999999;
constexpr long WrongLengthAfter = 3;          // the short line follows record 4
constexpr long CrLfRecord = 6;                // record 7 ends in CR LF
constexpr long ClientsPerLicence = 99999;     // five-digit client numbers
constexpr long FunctionCodesPerClient = 1000; // three-digit function codes
constexpr int TextBufferSize = 128;
constexpr int PathBufferSize = 4096;
constexpr int WriteFailed = 1;
constexpr int UsageError = 2;
constexpr mode_t DirectoryMode = 0777;   // narrowed by the umask

const char* const UsageText =
    "usage: kelvora-samples [--faulty | --clean] DIR [N [TYPE...]]\n"
    "       kelvora-samples --layout TYPE\n"
    "       kelvora-samples --help\n"
    "writes sample interface files DIR/20P.txt ... DIR/FCD.txt, one per type code\n"
    "(DIR is created when it is missing)\n"
    "  without N: a small sample per type code; with --faulty, one wrong-length\n"
    "             line and one CR LF record in each file (--clean, the default,\n"
    "             writes none: the files pass kelvora-watch's default checks)\n"
    "  with N:    N valid records per file; TYPE... limits the files written\n"
    "--layout prints the record layout of TYPE: fields, columns, how it is written\n";

// One record line being built: blanks up to the line end, fields written
// over them where the member's layout puts them.
struct RecordLine {
    char text[RecordBufferSize + 1];
    int dataLength;                        // characters before the line end
    const ImportMember* member = nullptr;  // whose layout places the fields
};

struct CalendarDate {
    int year;
    int month;
    int day;
};


// --- text pools (Windows-1252; an escape is ended by splitting the literal) ---

const char* const Places[] = {
    "Pf\xF6" "rtnerhaus Haupttor", "Werkstor S\xFC" "d", "Halle 3 Nord",
    "Au\xDF" "enlager Hafen", "Kantine", "Verwaltung 2. OG",
    "F\xF6" "rdertechnik", "Gie\xDF" "erei", "Pr\xFC" "ffeld West",
    "Empfang B\xFC" "rohaus", "Rechenzentrum", "\xC4" "u\xDF" "eres Tor",
};

const char* const Surnames[] = {
    "M\xFC" "ller", "Sch\xE4" "fer", "Wei\xDF", "K\xF6" "nig", "O'Connor",
    "Gro\xDF" "mann", "J\xE4" "ger", "\xD6" "zdemir", "Schr\xF6" "der",
    "Kr\xFC" "ger", "Hofmann", "B\xE4" "cker", "G\xFC" "nther", "Fischer",
};

const char* const FirstNames[] = {
    "J\xFC" "rgen", "Bj\xF6" "rn", "Petra", "S\xF6" "ren", "Siobhan", "Klaus",
    "\xC4" "nne", "Ute", "J\xF6" "rg", "Monika", "G\xFC" "nter", "Sabine",
};

const char* const Clients[] = {
    "Stadtwerke M\xFC" "nchen GmbH", "B\xE4" "ckerei Gro\xDF" "mann KG",
    "K\xF6" "lner Verkehrsbetriebe AG", "Caf\xE9" " d'Or GmbH",
    "\xD6" "ko-Landhandel S\xFC" "d eG", "\xDC" "berlandwerk Nord AG",
    "Stra\xDF" "enbau Wei\xDF" " GmbH & Co. KG", "Kr\xE4" "mer Logistik GmbH",
};

const char* const Departments[] = {
    "Gesch\xE4" "ftsf\xFC" "hrung", "Lager\\Versand", "Qualit\xE4" "tssicherung",
    "Lohnb\xFC" "ro", "F\xF6" "rdertechnik", "Au\xDF" "endienst S\xFC" "d",
    "\xD6" "ffentlichkeitsarbeit", "\xC4" "rztlicher Dienst", "Instandhaltung",
    "Einkauf", "Pf\xF6" "rtnerdienst", "Werkstatt",
};

const char* const Positions[] = {
    "Schichtf\xFC" "hrer", "Sachbearbeiterin", "Meister", "Pf\xF6" "rtner",
    "Gesch\xE4" "ftsf\xFC" "hrerin", "Monteur", "Auszubildender", "Pr\xFC" "fer",
};

const char* const Sites[] = {
    "Werk S\xFC" "d", "Werk Nord", "Zentrale", "Au\xDF" "enstelle Hafen",
};

const char* const CostSystems[] = {"SAP", "DATEV", "LOGA", "SAP"};

const char* const Creators[] = {"WERK\\import", "batch", "Sch\xE4" "fer, Ute"};

const char* const FunctionTexts[] = {
    "Kommen", "Gehen", "Dienstgang", "Arztbesuch", "Pause",
    "Dienstreise", "Schulung", "\xDC" "berstunden abbauen", "Urlaub",
    "Krankheit", "Betriebsratst\xE4" "tigkeit", "Kommen\\Gehen (Wechsel)",
};

const char* const BalanceLights[] = {"gr\xFC" "n", "gelb", "rot"};

// A public holiday of the sample year: date and name.
struct Holiday {
    const char* date;
    const char* name;
};

const Holiday Holidays[] = {
    {"20250101", "Neujahr"}, {"20250106", "Heilige Drei K\xF6" "nige"},
    {"20250418", "Karfreitag"}, {"20250421", "Ostermontag"},
    {"20250501", "Tag der Arbeit"}, {"20250529", "Christi Himmelfahrt"},
    {"20250609", "Pfingstmontag"}, {"20250619", "Fronleichnam"},
    {"20250815", "Mari\xE4" " Himmelfahrt"}, {"20251003", "Tag der Dt. Einheit"},
    {"20251031", "Reformationstag"}, {"20251101", "Allerheiligen"},
    {"20251119", "Bu\xDF" "- und Bettag"}, {"20251225", "1. Weihnachtstag"},
    {"20251226", "2. Weihnachtstag"},
};
constexpr long HolidayCount = sizeof Holidays / sizeof Holidays[0];

// The pool entry for a record number; pools repeat as the numbers grow.
template <size_t Size>
const char* pick(const char* const (&pool)[Size], long index) {
    return pool[static_cast<size_t>(index) % Size];
}

// --- record line building ---

// Starts a record of the member's longest form: all blanks.
void startRecord(RecordLine& line, const ImportMember& member) {
    memset(line.text, ' ', sizeof line.text);
    line.dataLength = RecordLengthTable[member.longestKind] - 1;
    line.member = &member;
}

// Whether the layout's column text names column: its first word (the rest
// says what the statements make of it).
bool namesColumn(const char* text, std::string_view column) {
    const std::string_view named(text);
    return named.compare(0, column.size(), column) == 0 &&
           (named.size() == column.size() || named[column.size()] == ' ' || named[column.size()] == ',');
}

// The field of the line's member that fills column.
const FieldSpec& fieldOf(const RecordLine& line, std::string_view column) {
    for (int i = 0; i < line.member->fieldCount; ++i) {
        if (namesColumn(line.member->layout[i].column, column)) return line.member->layout[i];
    }
    fprintf(stderr, "kelvora-samples: %s has no field for %.*s\n", line.member->typeCode,
            static_cast<int>(column.size()), column.data());
    std::abort();
}

// A column of a numbered series: "TswW" and 2 give "TswW02".
std::string numbered(const char* stem, int number) {
    char name[TextBufferSize];
    snprintf(name, sizeof name, "%s%02d", stem, number);
    return name;
}

// Writes a value left-aligned into its field; a longer value is cut to the
// field width, so no field ever spills into the next.
void putText(RecordLine& line, const char* column, std::string_view value) {
    const FieldSpec& field = fieldOf(line, column);
    const size_t width = static_cast<size_t>(field.width);
    memcpy(line.text + field.offset, value.data(), value.size() < width ? value.size() : width);
}

// putText with a printf-style value.
__attribute__((format(printf, 3, 4)))
void putFormatted(RecordLine& line, const char* column, const char* format, ...) {
    char value[TextBufferSize];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(value, sizeof value, format, args);
    va_end(args);
    if (length < 0) length = 0;
    if (length >= static_cast<int>(sizeof value)) length = static_cast<int>(sizeof value) - 1;
    putText(line, column, std::string_view(value, static_cast<size_t>(length)));
}

// --- dates ---

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int Days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : Days[month - 1];
}

// The date that lies days after the first of January of baseYear; records
// spread their dates over ten years so that the numbers stay small.
CalendarDate dateAfter(int baseYear, long days) {
    CalendarDate date = {baseYear, 1, 1};
    days %= 3650;
    while (days >= (isLeapYear(date.year) ? 366 : 365)) {
        days -= isLeapYear(date.year) ? 366 : 365;
        date.year++;
    }
    while (days >= daysInMonth(date.year, date.month)) {
        days -= daysInMonth(date.year, date.month);
        date.month++;
    }
    date.day = static_cast<int>(days) + 1;
    return date;
}

// Writes a date as YYYYMMDD.
void putDate(RecordLine& line, const char* column, CalendarDate date) {
    putFormatted(line, column, "%04d%02d%02d", date.year, date.month, date.day);
}

// Writes a time stamp as YYYYMMDDHHMMSS, the time of day drawn from index.
void putTimestamp(RecordLine& line, const char* column, CalendarDate date, long index) {
    putFormatted(line, column, "%04d%02d%02d%02ld%02ld%02ld", date.year, date.month, date.day, 6 + index % 12,
                 index * 7 % 60, index * 13 % 60);
}

// --- shared field values ---

// A terminal's name: a number that makes it unique, then where it stands.
void putTerminal(RecordLine& line, const char* column, long terminal) {
    putFormatted(line, column, "T%06ld %s", terminal + 1, pick(Places, terminal));
}

// An identity (badge) number, the key that IDN, SLD and BKL share.
void putIdentity(RecordLine& line, const char* column, long person) {
    putFormatted(line, column, "A%07ld", person + 1);
}

// "Surname, first name" of a person.
void putPersonName(RecordLine& line, const char* column, long person) {
    putFormatted(line, column, "%s, %s", pick(Surnames, person), pick(FirstNames, person / 3));
}

// Licence and client number: five digits each, the client number counting
// from 1 to 99999 within a licence, so the pair is unique for every number.
void putLicenceAndClient(RecordLine& line, const char* licence, const char* client, long number) {
    putFormatted(line, licence, "%05ld", number / ClientsPerLicence + 1);
    putFormatted(line, client, "%05ld", number % ClientsPerLicence + 1);
}

// Licence and client of a small installation: most data belongs to client 1.
void putSmallLicenceAndClient(RecordLine& line, const char* licence, const char* client, long index) {
    putText(line, licence, "00001");
    putFormatted(line, client, "%05ld", index % 7 == 6 ? 2L : 1L);
}

// A signed amount with two decimals, left-aligned.
void putAmount(RecordLine& line, const char* column, long index, long salt) {
    long cents = (index * 7919 + salt * 104729) % 400000 - 100000;
    const char* sign = cents < 0 ? "-" : "";
    long magnitude = cents < 0 ? -cents : cents;
    putFormatted(line, column, "%s%ld.%02ld", sign, magnitude / 100, magnitude % 100);
}

// --- one builder per type code ---

// 20P: a terminal's opening hours per weekday; seven records per terminal.
void build20P(RecordLine& line, long index) {
    long terminal = index / 7;
    long weekday = index % 7 + 1;
    bool weekend = weekday >= 6;
    startRecord(line, Member20P);
    putTerminal(line, "M20Trm", terminal);
    putFormatted(line, "M20Sch", "%02ld", terminal % 3 + 1);
    putFormatted(line, "M20Tg1", "%ld", weekday);
    putFormatted(line, "M20Zz2", "ZZ%03ld", terminal % 50 + 1);
    putText(line, "M20Ofv", weekend ? "0800" : terminal % 2 == 0 ? "0600" : "0700");
    putText(line, "M20Ofb", weekend ? "1400" : terminal % 3 == 0 ? "2200" : "1800");
}

// 35P: a terminal's readers with authorization class and time zone; four
// readers per terminal.
void build35P(RecordLine& line, long index) {
    long terminal = index / 4;
    startRecord(line, Member35P);
    putTerminal(line, "M35Trm", terminal);
    putText(line, "M35Fir", "001");
    putFormatted(line, "M35Bkl", "BK%03ld", terminal % 20 + 1);
    putFormatted(line, "M35Les", "%02ld", index % 4 + 1);
    putText(line, "M35Wle", "01");
    putFormatted(line, "M35Wpl", "%03ld", index % 4 + 1);
    putFormatted(line, "M35Zko", "ZK%03ld", index % 40 + 1);
    putFormatted(line, "M35Zzo", "ZZ%03ld", terminal % 50 + 1);
    putText(line, "M35Bch", index % 5 == 4 ? " " : "J");
}

// 35P "*ZKO" record: sets the access-control code of reader 01 of terminal
// number extra in QVS401ZLS instead of adding a row to MGSST35P.
void buildZko35P(RecordLine& line, long extra) {
    startRecord(line, Member35P);
    putTerminal(line, "M35Trm", extra);
    putText(line, "M35Fir", "001");
    putText(line, "M35Bkl", "*ZKO");
    putText(line, "M35Les", "01");
    putText(line, "M35Wle", "01");
    putText(line, "M35Wpl", "001");
    putFormatted(line, "M35Zko", "ZK%03ld", 901 + extra);
}

// 41P: a terminal's time windows; two shifts per terminal.
void build41P(RecordLine& line, long index) {
    long terminal = index / 2;
    bool lateShift = index % 2 == 1;
    startRecord(line, Member41P);
    putTerminal(line, "M41Trm", terminal);
    putText(line, "M41Fir", "001");
    putFormatted(line, "M41Zpl", "%03ld", terminal % 12 + 1);
    putFormatted(line, "M41Wnr", "%02ld", terminal % 4 + 1);
    putFormatted(line, "M41Zzo", "ZZ%03ld", terminal % 50 + 1);
    putText(line, "M41Tnr", lateShift ? "2" : "1");
    putText(line, "M41Von", lateShift ? "1400" : "0600");
    putText(line, "M41Bis", lateShift ? "2200" : "1400");
}

// MND: one client per record; some without status or time stamp.
void buildMND(RecordLine& line, long index) {
    startRecord(line, MemberMND);
    putLicenceAndClient(line, "QVDLIZ", "QVDNUM", index);
    putText(line, "QVDNAM", pick(Clients, index));
    if (index % 7 != 5) putText(line, "QVDSTA", index % 3 == 2 ? "0" : "1");
    if (index % 9 != 7) putTimestamp(line, "QVDDAT", dateAfter(2019, index * 17), index);
    putText(line, "QVDERF", pick(Creators, index));
}

// IDN: one identity per record. Record 3 carries zero dates (the importer
// puts the server's date in for the start and leaves the end open); every
// tenth has no Stammort and no class, which the importer fills with "0".
void buildIDN(RecordLine& line, long index) {
    bool zeroDates = index == 2;
    bool sparse = index % 10 == 9;
    startRecord(line, MemberIDN);
    putIdentity(line, "AswNum", index);
    if (!sparse) putFormatted(line, "AswSto", "%ld", (index % 5 + 1) * 100);
    if (zeroDates) {
        putText(line, "AswGvo", "00000000");
        putText(line, "AswGbi", "00000000");
    } else {
        putDate(line, "AswGvo", dateAfter(2018, index * 37));
        if (index % 4 == 3) putDate(line, "AswGbi", dateAfter(2026, index * 11));
    }
    putFormatted(line, "AswPnr", "%06ld", index + 4711);
    putPersonName(line, "AswNam", index);
    putText(line, "AswSpr", index % 6 == 5 ? "EN" : "DE");
    if (!sparse) putFormatted(line, "AswBkl", "BK%02ld", index % 20 + 1);
    putFormatted(line, "AswPin", "%04ld", (index * 7919 + 1234) % 10000);
    putFormatted(line, "AswCod", "%ld", index % 3 + 1);
    putFormatted(line, "AswGrp", "G%02ld", index % 8 + 1);
    putSmallLicenceAndClient(line, "AswLiz", "AswMnd", index);
    putText(line, "AswAtp", index % 11 == 10 ? "BE" : "MA");
    putFormatted(line, "AswAan", "%s %s", index % 2 == 0 ? "Herr" : "Frau", pick(Surnames, index));
    putFormatted(line, "AswMta", "%02ld", index % 3 + 1);
    putAmount(line, "AswSal", index, 1);
    putFormatted(line, "AswBk2", "BK%02ld", (index + 7) % 20 + 1);
    putText(line, "AswSta", "1");
    putTimestamp(line, "AswDat", dateAfter(2024, index * 3), index);
    putText(line, "AswErf", pick(Creators, index));
    putText(line, "AswMap", index % 3 == 0 ? "J" : "N");
    putFormatted(line, "AswKst", "%04ld %s", 1000 + index % 12, pick(Departments, index));
}

// SLD: the balances of one identity, long form with the traffic light.
void buildSLD(RecordLine& line, long index) {
    startRecord(line, MemberSLD);
    putIdentity(line, "TswIdn", index);
    putFormatted(line, "TswSto", "%ld", (index % 5 + 1) * 100);
    putSmallLicenceAndClient(line, "Tswliz", "TswMnd", index);
    putAmount(line, "TswW01", index, 1);
    for (int n = 2; n <= 16; ++n) putAmount(line, numbered("TswW", n).c_str(), index, n);
    for (int n = 1; n <= 10; ++n) putAmount(line, numbered("TswF", n).c_str(), index, 100 + n);
    putText(line, "TswAmp", pick(BalanceLights, index * 5 / 3));
}

// KST: one cost centre per record; every fourth has no number.
void buildKST(RecordLine& line, long index) {
    startRecord(line, MemberKST);
    putFormatted(line, "KidKst", "%04ld", 1000 + index);
    putText(line, "KidMnd", "00001");
    putText(line, "KidLiz", "00001");
    if (index % 4 != 2) putFormatted(line, "KidNum", "%ld", 470000 + index);
    putText(line, "KidSys", pick(CostSystems, index));
    putText(line, "KidTxt", pick(Departments, index));
    putText(line, "KidErf", pick(Creators, index));
}

// BKL: authorization classes of identities; two classes per identity. The
// client number is digits only, since the importer writes it as a number.
void buildBKL(RecordLine& line, long index) {
    long person = index / 2;
    startRecord(line, MemberBKL);
    putIdentity(line, "AwbAws", person);
    putFormatted(line, "AwbBkl", "BK%02ld", index % 2 == 0 ? person % 20 + 1 : 99L);
    putText(line, "AwbLiz", "00001");
    putFormatted(line, "AwbMnd", "%ld", person % 7 == 6 ? 2L : 1L);
    if (index % 5 != 3) putFormatted(line, "AwbZuv", "%ld", index % 10);
}

// FTG: the holidays of the year per terminal; fifteen records per terminal.
void buildFTG(RecordLine& line, long index) {
    const Holiday& holiday = Holidays[index % HolidayCount];
    long terminal = index / HolidayCount;
    startRecord(line, MemberFTG);
    putTerminal(line, "FTGTrm", terminal);
    putSmallLicenceAndClient(line, "FTGLiz", "FTGMnd", terminal);
    putText(line, "FTGJhr", "2025");
    putText(line, "FTGDtm", holiday.date);
    putText(line, "FTGTxt", holiday.name);
    if (index % 4 != 3) putText(line, "FTGKrt", "J");
}

// MST: the status of one employee.
void buildMST(RecordLine& line, long index) {
    startRecord(line, MemberMST);
    putSmallLicenceAndClient(line, "MSTLiz", "MSTMnd", index);
    putFormatted(line, "MSTAsw", "%013ld", 100000 + index);
    putText(line, "MSTSts", index % 9 == 8 ? "I" : "A");
    putPersonName(line, "MSTVbi", index + 5);
    putText(line, "MSTAbe", pick(Departments, index));
    putText(line, "MSTSbe", pick(Positions, index));
    putText(line, "MSTKrt", index % 4 == 3 ? "N" : "J");
    putFormatted(line, "MSTKst", "%04ld %s", 1000 + index % 12, pick(Departments, index));
    putDate(line, "MSTVon", dateAfter(2020, index * 29));
    putText(line, "MSTAbt", pick(Sites, index));
}

// MDT: details of one employee.
void buildMDT(RecordLine& line, long index) {
    startRecord(line, MemberMDT);
    putSmallLicenceAndClient(line, "MDTLiz", "MDTMnd", index);
    putFormatted(line, "MDTAsw", "%013ld", 100000 + index);
    putDate(line, "MDTDtm", dateAfter(2021, index * 13));
    putText(line, "MDTAbe", pick(Departments, index + 3));
    putText(line, "MDTSbe", pick(Positions, index + 1));
    putText(line, "MDTSts", index % 9 == 8 ? "I" : "A");
    putText(line, "MDTKrt", index % 4 == 3 ? "N" : "J");
}

// FCD: one function code; the code counts up within a client.
void buildFCD(RecordLine& line, long index) {
    startRecord(line, MemberFCD);
    putLicenceAndClient(line, "FCDLiz", "FCDMnd", index / FunctionCodesPerClient);
    putFormatted(line, "FCDNum", "%03ld", index % FunctionCodesPerClient);
    putText(line, "FCDKrt", index % 3 == 2 ? "N" : "J");
    putText(line, "FCDTxt", pick(FunctionTexts, index));
}

// --- the files ---

using RecordBuilder = void (*)(RecordLine& line, long index);

// One sample file: its type code, how many records it holds by default and
// how they are built; extra records follow the ordinary ones in the default
// sample only.
struct SampleType {
    const char* code;
    long defaultCount;
    RecordBuilder build;
    long extraCount;
    RecordBuilder buildExtra;
};

const SampleType SampleTypes[] = {
    {"20P", 280, build20P, 0, nullptr},
    {"35P", 40, build35P, 2, buildZko35P},
    {"41P", 40, build41P, 0, nullptr},
    {"MND", 24, buildMND, 0, nullptr},
    {"IDN", 40, buildIDN, 0, nullptr},
    {"SLD", 40, buildSLD, 0, nullptr},
    {"KST", 30, buildKST, 0, nullptr},
    {"BKL", 40, buildBKL, 0, nullptr},
    {"FTG", 45, buildFTG, 0, nullptr},
    {"MST", 36, buildMST, 0, nullptr},
    {"MDT", 36, buildMDT, 0, nullptr},
    {"FCD", 24, buildFCD, 0, nullptr},
};

// What to write: the records per file (0 for the default samples), whether
// the default samples get their faulty lines, and which files.
struct SampleRequest {
    const char* directory;
    long recordCount;
    bool clean;
    bool selected[sizeof SampleTypes / sizeof SampleTypes[0]];
};

// Writes the line's data and the given line end.
void emitLine(FILE* file, const RecordLine& line, const char* lineEnd) {
    fwrite(line.text, 1, static_cast<size_t>(line.dataLength), file);
    fputs(lineEnd, file);
}

// The default sample: the ordinary records, the extras, and unless clean
// a line one character short after record 4 and a CR LF end on record 7.
void writeDefaultSample(FILE* file, const SampleType& type, bool clean) {
    RecordLine line;
    for (long index = 0; index < type.defaultCount; ++index) {
        type.build(line, index);
        emitLine(file, line, !clean && index == CrLfRecord ? "\r\n" : "\n");
        if (clean || index != WrongLengthAfter) continue;
        type.build(line, type.defaultCount);
        line.dataLength--;
        emitLine(file, line, "\n");
    }
    for (long extra = 0; extra < type.extraCount; ++extra) {
        type.buildExtra(line, extra);
        emitLine(file, line, "\n");
    }
}

// A load-test file: count valid records, nothing else.
void writeCountedSample(FILE* file, const SampleType& type, long count) {
    RecordLine line;
    for (long index = 0; index < count; ++index) {
        type.build(line, index);
        emitLine(file, line, "\n");
    }
}

// Writes DIR/<code>.txt; 0, or WriteFailed with a message.
int writeSampleFile(const SampleRequest& request, const SampleType& type) {
    static char outputBuffer[OutputBufferSize];
    char path[PathBufferSize];
    int pathLength = snprintf(path, sizeof path, "%s/%s.txt", request.directory, type.code);
    if (pathLength < 0 || pathLength >= static_cast<int>(sizeof path)) {
        fprintf(stderr, "kelvora-samples: directory name too long\n");
        return WriteFailed;
    }
    UniqueFile file(fopen(path, "wbe"));
    if (!file.valid()) {
        fprintf(stderr, "kelvora-samples: cannot create %s: %s\n", path, strerror(errno));
        return WriteFailed;
    }
    setvbuf(file.get(), outputBuffer, _IOFBF, sizeof outputBuffer);
    if (request.recordCount > 0) {
        writeCountedSample(file.get(), type, request.recordCount);
    } else {
        writeDefaultSample(file.get(), type, request.clean);
    }
    bool failed = ferror(file.get()) != 0;
    failed = !file.close() || failed;
    if (failed) {
        fprintf(stderr, "kelvora-samples: writing %s failed: %s\n", path, strerror(errno));
        return WriteFailed;
    }
    long records = request.recordCount > 0 ? request.recordCount : type.defaultCount + type.extraCount;
    printf("%s: %ld records\n", path, records);
    return 0;
}

// Prints message and the usage text to standard error; the usage status.
int usageError(const char* message) {
    fprintf(stderr, "kelvora-samples: %s\n%s", message, UsageText);
    return UsageError;
}

// Reads the record count: digits only, 1 to MaxRecordsPerFile.
bool parseRecordCount(const char* text, long* count) {
    if (text[0] < '0' || text[0] > '9') return false;
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 1 || value > MaxRecordsPerFile) return false;
    *count = value;
    return true;
}

// Marks the file of a type code for writing; false for an unknown code.
bool selectType(SampleRequest& request, const char* code) {
    for (size_t i = 0; i < sizeof SampleTypes / sizeof SampleTypes[0]; ++i) {
        if (strcmp(SampleTypes[i].code, code) != 0) continue;
        request.selected[i] = true;
        return true;
    }
    return false;
}

// Fills the request from the command line; 0 or the usage status.
int parseArguments(int argc, char** argv, SampleRequest& request) {
    int next = 1;
    request.clean = true;
    if (next < argc && (strcmp(argv[next], "--clean") == 0 || strcmp(argv[next], "--faulty") == 0)) {
        request.clean = strcmp(argv[next], "--clean") == 0;
        next++;
    }
    if (next >= argc) return usageError("missing directory");
    if (argv[next][0] == '-') return usageError("unknown option (a directory starting with - needs ./)");
    request.directory = argv[next++];
    bool allTypes = true;
    if (next < argc) {
        if (!parseRecordCount(argv[next], &request.recordCount)) {
            return usageError("N must be a whole number from 1 to 99999999");
        }
        next++;
    }
    for (; next < argc; ++next) {
        if (!selectType(request, argv[next])) return usageError("unknown type code");
        allTypes = false;
    }
    if (allTypes) {
        for (bool& selected : request.selected) selected = true;
    }
    return 0;
}

// Creates path and the folders above it that are missing, as mkdir -p
// does; 0, or WriteFailed with a message.
int makeDirectory(const char* path) {
    std::string folder = path;
    for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        std::string part = folder.substr(0, at);
        if (mkdir(part.c_str(), DirectoryMode) != 0 && errno != EEXIST) {
            fprintf(stderr, "kelvora-samples: cannot create %s: %s\n", part.c_str(), strerror(errno));
            return WriteFailed;
        }
        if (at == std::string::npos) break;
    }
    return 0;
}

// "--layout TYPE": the layout the importer cuts records of TYPE with.
int printLayout(int argc, char** argv) {
    if (argc != 3) return usageError("--layout takes one type code");
    std::string code = argv[2];
    toUpperInPlace(code.data());
    const ImportMember* member = findMember(code.substr(0, 3).c_str());
    if (member == nullptr) return usageError("unknown type code");
    fputs(layoutText(*member).c_str(), stdout);
    return fflush(stdout) == 0 ? 0 : WriteFailed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(UsageText, stdout);
        return fflush(stdout) == 0 ? 0 : WriteFailed;
    }
    if (argc >= 2 && strcmp(argv[1], "--layout") == 0) return printLayout(argc, argv);
    SampleRequest request = {};
    int status = parseArguments(argc, argv, request);
    if (status != 0) return status;
    status = makeDirectory(request.directory);
    if (status != 0) return status;
    for (size_t i = 0; i < sizeof SampleTypes / sizeof SampleTypes[0]; ++i) {
        if (!request.selected[i]) continue;
        status = writeSampleFile(request, SampleTypes[i]);
        if (status != 0) return status;
    }
    return 0;
}
