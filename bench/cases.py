"""The cases of bench/run as data: what the program runs on, the state its
tables start from, and the statements of its references."""
import re
from dataclasses import dataclass

# Every FAIL_EVERY-th record of the exact path's file repeats the one FAIL_DISTANCE lines before it (1062).
FAIL_EVERY = 50
FAIL_DISTANCE = 10
UNKNOWN_TYPE = "XXX"
SAMPLE_TYPES = ("20P", "35P", "41P", "KST", "BKL", "IDN")
# The columns holding the time of writing, left out of the digest of the rows.
CLOCK_COLUMNS = ("M20Dat", "M35Dat", "M41Dat", "AwbDat", "AwvDat")
# program / LOAD DATA; own replay / program; program / DBA reference.
GOAL_LOAD_DATA = 1.5
GOAL_SPEEDUP = 3
GOAL_DBA = 1.0
GOAL_STAGING = 1.2
# guarded / unguarded, the same run; and the guard's limits, the watcher's defaults.
GOAL_GUARD = 1.15
GUARD_ENVIRONMENT = {"KELVORA_MAX_DELETES": "50", "KELVORA_MAX_DELETE_SHARE": "10"}
# The watcher's case: files of records each, one type code, through kelvora-watch --once against the importer
# called once per file in a loop; the watcher's time per file over the loop's.
WATCH_FILES = 200
WATCH_RECORDS = 100
WATCH_TYPE = "20P"
GOAL_WATCH = 1.5
# The windows of the sweep; THROUGHPUT_CASES also take THROUGHPUT_WINDOWS.
THROUGHPUT_WINDOWS = (1, 10, 100, 1000)
CANDIDATE_WINDOWS = (100, 300, 1000, 4096)
THROUGHPUT_CASES = ("20P-replace", "KST")
WINDOW_CASES = ("20P-replace", "KST", "20P-update", "IDN")
SWEEP_CASES = WINDOW_CASES + ("20P-fail",)
PROFILE_CASES = ("20P-replace", "20P-update", "IDN")
UTF8_CASES = ("20P-1252", "20P-utf8", "connect")

# A field of the line at its position (offset + 1) and width, trimmed as the program trims it.
def field(start, width):
    return f"RTRIM(SUBSTRING(@line, {start}, {width}))"

# A field stored as it stands, blanks and all.
def raw(start, width):
    return f"SUBSTRING(@line, {start}, {width})"

# An IDN date in MySQL mode: the text when above 19000000, else the replacement.
def usable_date(start, width, replacement, form):
    return f"DATE_FORMAT(IF(BINARY {field(start, width)} > '19000000', {field(start, width)}, {replacement}), '{form}')"

# The lines cut into the columns by the value rules of the member's statements.
CUT_20P = (("M20Trm", field(1, 255)), ("M20Sch", field(256, 2)), ("M20Tg1", field(258, 1)),
           ("M20Zz2", raw(259, 5)), ("M20Ofv", raw(264, 4)), ("M20Ofb", raw(268, 4)))
CUT_35P = (("M35Trm", field(1, 255)), ("M35Fir", field(256, 3)), ("M35Bkl", field(259, 5)),
           ("M35Les", field(264, 2)), ("M35Wle", field(266, 2)), ("M35Wpl", field(268, 3)),
           ("M35Zko", field(271, 5)), ("M35Zzo", field(276, 5)), ("M35Bch", field(281, 1)))
CUT_41P = (("M41Trm", field(1, 255)), ("M41Fir", field(256, 3)), ("M41Zpl", field(259, 3)),
           ("M41Wnr", field(262, 2)), ("M41Zzo", field(264, 5)), ("M41Tnr", field(269, 1)),
           ("M41Von", field(270, 4)), ("M41Bis", field(274, 4)))
CUT_KST = (("KidKst", field(1, 30)), ("KidMnd", field(31, 5)), ("KidLiz", field(36, 5)),
           ("KidNum", f"NULLIF({field(41, 7)}, '')"), ("KidSys", field(48, 7)), ("KidTxt", field(55, 30)),
           ("KidErf", field(85, 50)))
CUT_BKL = (("AwbAws", field(1, 50)), ("AwbBkl", field(51, 5)), ("AwbLiz", field(56, 5)),
           ("AwbMnd", f"CAST({field(61, 5)} AS SIGNED)"),
           ("AwbZuv", f"IF(ASCII({raw(66, 1)}) BETWEEN 48 AND 57, ASCII({raw(66, 1)}) - 48, 0)"))
CUT_IDN = (("AswNum", field(1, 50)), ("AswSto", f"COALESCE(NULLIF({field(51, 8)}, ''), '0')"),
           ("AswGvo", usable_date(59, 8, "DATE_FORMAT(CURDATE(), '%Y%m%d')", "%Y%m%d")),
           ("AswGbi", usable_date(67, 8, "NULL", "%Y%m%d")), ("AswPnr", field(75, 8)), ("AswNam", field(83, 50)),
           ("AswSpr", field(133, 5)), ("AswBkl", f"COALESCE(NULLIF({field(138, 5)}, ''), '0')"),
           ("AswPin", field(143, 32)), ("AswCod", field(175, 5)), ("AswGrp", field(180, 5)),
           ("AswLiz", field(185, 5)), ("AswMnd", field(190, 5)), ("AswAtp", field(195, 2)),
           ("AswAan", field(197, 50)), ("AswMta", field(247, 2)), ("AswSal", field(249, 10)),
           ("AswBk2", field(259, 5)), ("AswSta", field(264, 5)),
           ("AswDat", usable_date(269, 14, "NULL", "%Y%m%d%H%i%s")), ("AswErf", field(283, 50)),
           ("AswMap", field(333, 1)), ("AswKst", field(334, 30)))

# A case's starting state: emptied, or the program's rows from file with the clock column set back.
@dataclass(frozen=True)
class Emptied:
    tables: tuple

@dataclass(frozen=True)
class Restored:
    table: str
    file: str
    clock: str
    arguments: tuple

# A DBA's upsert: LOAD DATA into a staging table, one INSERT ... ON DUPLICATE KEY UPDATE (updated None: all).
@dataclass(frozen=True)
class Dba:
    label: str
    goal: float
    table: str
    cut: tuple
    added_columns: str = ""
    added_values: str = ""
    updated: tuple = None
    before: tuple = ()
    after: tuple = ()

# A measured run of the program: file, tables, starting state (None: as left), references, split queries.
@dataclass(frozen=True)
class Case:
    key: str
    name: str
    label: str
    arguments: tuple
    file: str
    tables: tuple
    before: object
    dba: Dba = None
    load_data: tuple = None
    split: re.Pattern = None
    speed_goal: bool = False
    failing_every: int = 0

# 20P, 35P and 41P UpdateMode: every key is there before the run.
def upsert_case(code, table, clock, cut, updated):
    return Case(f"{code}-update", f"{code} UpdateMode", f"{code} UpdateMode (update-else-insert, every key there)",
                (code, "UPD"), f"{code}.txt", (table,), Restored(table, f"{code}.txt", clock, (code,)),
                Dba("staging table, one upsert", GOAL_DBA if code == "20P" else GOAL_STAGING, table, cut, clock,
                    "SYSDATE()", updated), speed_goal=code == "20P")

# KST and BKL start with every second key; IDN clears its three tables.
HALF_BKL = Restored("QVS301AWB", "BKL_half.txt", "AwbDat", ("BKL",))
BKL_COLUMNS = ("QVS301AWB", CUT_BKL, "AwbSta, AwbDat", "1, CURRENT_TIMESTAMP", ("AwbZuv", "AwbSta", "AwbDat"))
BKL_SWEEP = ("DELETE FROM RURUVURO.QVS301AWB WHERE AwbSta = 4 ;",)
IDN_TABLES = ("QVS301ASW", "QVS113AWV", "QVS113STO")
# Where IDN's Sto and link rows begin in a query (they travel behind a window's upsert): the start of the
# query or the ";" before the first of them, optionally after SET STATEMENT ... FOR.
STO_AND_LINK_ROWS = re.compile(r"(?:^|;)(?=(?:SET\s+STATEMENT\s[^;]*?\sFOR\s+)?INSERT\s+INTO\s+RURUVURO\.QVS113(?:STO|AWV)\b)",
                               re.DOTALL | re.IGNORECASE)
EMPTY_20P = Emptied(("MGSST20P",))
CASES = {case.key: case for case in (
    Case("20P-replace", "20P ReplaceMode", "20P ReplaceMode (inserts)", ("20P",), "20P.txt", ("MGSST20P",),
         EMPTY_20P, load_data=CUT_20P + (("M20Dat", "SYSDATE()"),)),
    upsert_case("20P", "MGSST20P", "M20Dat", CUT_20P, ("M20Ofb", "M20Dat")),
    upsert_case("35P", "MGSST35P", "M35Dat", CUT_35P, ("M35Zko", "M35Zzo", "M35Bch", "M35Dat")),
    upsert_case("41P", "MGSST41P", "M41Dat", CUT_41P, ("M41Bis", "M41Dat")),
    Case("KST", "KST", "KST (mark, update/insert, sweep; half the keys there)", ("KST",), "KST.txt", ("QVS120KID",),
         Restored("QVS120KID", "KST_half.txt", "", ("KST",)),
         Dba("mark, staging table, one upsert, sweep", GOAL_DBA, "QVS120KID", CUT_KST, "KidSta", "1",
             ("KidNum", "KidSys", "KidTxt", "KidSta", "KidErf"), ("UPDATE RURUVURO.QVS120KID SET  KidSta = 4 ;",),
             ("DELETE FROM RURUVURO.QVS120KID WHERE KidSta = 4 ;",)), speed_goal=True),
    Case("BKL", "BKL ReplaceMode", "BKL ReplaceMode (mark, update/insert, sweep; half the keys there)", ("BKL",),
         "BKL.txt", ("QVS301AWB",), HALF_BKL,
         Dba("mark, staging table, one upsert, sweep", GOAL_STAGING, *BKL_COLUMNS,
             ("UPDATE RURUVURO.QVS301AWB SET  AwbSta = 4 ;",), BKL_SWEEP)),
    Case("BKL-update", "BKL UpdateMode", "BKL UpdateMode (update/insert, sweep; half the keys there)",
         ("BKL", "UPD"), "BKL.txt", ("QVS301AWB",), HALF_BKL,
         Dba("staging table, one upsert, sweep", GOAL_STAGING, *BKL_COLUMNS, after=BKL_SWEEP)),
    Case("IDN", "IDN", "IDN (3 tables cleared, Sto and link rows, update-else-insert)", ("IDN",), "IDN.txt",
         IDN_TABLES, Emptied(IDN_TABLES),
         Dba("clearing, staging table, one upsert, Sto and link rows by INSERT IGNORE ... SELECT DISTINCT",
             GOAL_STAGING, "QVS301ASW", CUT_IDN,
             before=("DELETE FROM RURUVURO.QVS301ASW; DELETE FROM RURUVURO.QVS113AWV; "
                     "DELETE FROM RURUVURO.QVS113STO;",),
             after=("INSERT IGNORE INTO RURUVURO.QVS113STO (StoNum, StoSta, StoErf)\n"
                    "  SELECT DISTINCT AswSto, '1', 'ZiDidaze' FROM bench_stage;",
                    "INSERT IGNORE INTO RURUVURO.QVS113AWV (AwvNum, AwvSto, AwvCod, AwvSta, AwvDat, AwvErf)\n"
                    "  SELECT DISTINCT AswNum, AswSto, AswCod, '1', NOW(), 'ZiDidaze' FROM bench_stage;")),
         split=STO_AND_LINK_ROWS, speed_goal=True),
    # The deletion guard's case: a replace that deletes every row and writes each back.
    Case("20P-full", "20P ReplaceMode over a full table",
         "20P ReplaceMode over a table that holds every key of the file", ("20P",), "20P.txt", ("MGSST20P",),
         Restored("MGSST20P", "20P.txt", "M20Dat", ("20P",))),
    Case("20P-fail", f"20P ReplaceMode, every {FAIL_EVERY}th record failing",
         f"20P ReplaceMode, every {FAIL_EVERY}th record a duplicate key", ("20P",), "20P-fail.txt", ("MGSST20P",),
         EMPTY_20P, failing_every=FAIL_EVERY),
    # The UTF-8 check; the refusal and the unknown type code write nothing.
    Case("20P-1252", "20P-1252", "20P ReplaceMode, Windows-1252 file (check and import)", ("20P",),
         "20P-1252.txt", ("MGSST20P",), EMPTY_20P),
    Case("20P-utf8", "20P-utf8", "20P, the same file with a UTF-8 sequence in its last line (check, refused)",
         ("20P",), "20P-utf8.txt", ("MGSST20P",), None),
    Case("connect", "connect", f"unknown type code {UNKNOWN_TYPE} on the same file (connection only)",
         (UNKNOWN_TYPE,), "20P-1252.txt", ("MGSST20P",), None),
)}
# The cases measured at each size, in the order of the tables.
MEASURED = ("20P-replace", "20P-update", "35P-update", "41P-update", "KST", "BKL", "BKL-update", "IDN")
UPSERT_CASES = tuple(key for key in MEASURED if CASES[key].dba)
SPLIT_CASES = tuple(key for key in MEASURED if CASES[key].split)
SPEEDUP_CASES = tuple(key for key in MEASURED if CASES[key].speed_goal)

# The KELVORA_WINDOW values the sweep measures for a case.
def sweep_windows(key):
    return sorted({1, *CANDIDATE_WINDOWS, *(THROUGHPUT_WINDOWS if key in THROUGHPUT_CASES else ())})

# LOAD DATA LOCAL INFILE of a file, each line one field cut into the columns.
def load_lines(path, table, cut):
    assignments = ",\n      ".join(f"{column} = {expression}" for column, expression in cut)
    return (f"LOAD DATA LOCAL INFILE '{path}' INTO TABLE {table}\n  CHARACTER SET latin1\n"
            "  FIELDS TERMINATED BY '\\t' ENCLOSED BY '' ESCAPED BY ''\n  LINES TERMINATED BY '\\n'\n"
            f"  (@line)\n  SET {assignments};\n")

# The DBA reference in one transaction: an unindexed staging table filled by LOAD DATA, then the upsert.
def dba_statements(case, path):
    dba = case.dba
    columns = ", ".join(column for column, _ in dba.cut)
    sets = ", ".join(f"{column} = VALUES({column})" for column in dba.updated or [column for column, _ in dba.cut])
    added = (f", {dba.added_columns}", f", {dba.added_values}") if dba.added_columns else ("", "")
    return "\n".join((
        "START TRANSACTION;", *dba.before,
        f"CREATE TEMPORARY TABLE bench_stage AS SELECT {columns} FROM RURUVURO.{dba.table} LIMIT 0;",
        load_lines(path, "bench_stage", dba.cut),
        f"INSERT INTO RURUVURO.{dba.table} ({columns}{added[0]})\n  SELECT {columns}{added[1]} FROM bench_stage\n"
        f"  ON DUPLICATE KEY UPDATE {sets};", *dba.after, "COMMIT;", ""))
