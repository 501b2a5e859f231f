"""The cases of bench/run, each declared as data: what the program is run on,
the state its tables start from, and the statements of its references."""
from dataclasses import dataclass

# Every FAIL_EVERY-th record of the exact path's file repeats the record
# FAIL_DISTANCE lines before it (an original one, as FAIL_DISTANCE is less
# than FAIL_EVERY), whose key the table then holds: the server answers 1062.
FAIL_EVERY = 50
FAIL_DISTANCE = 10
# The type code of the UTF-8 check's run that only connects.
UNKNOWN_TYPE = "XXX"
# The files kelvora-samples writes for a size.
SAMPLE_TYPES = ("20P", "35P", "41P", "KST", "BKL", "IDN")
# The columns the program fills with the time of writing (SYSDATE(), NOW(),
# CURRENT_TIMESTAMP), which no two runs write alike: left out of the digest.
CLOCK_COLUMNS = ("M20Dat", "M35Dat", "M41Dat", "AwbDat", "AwvDat")
# The goals: program / LOAD DATA for 20P ReplaceMode, own one-statement
# replay / program for the cases with speed_goal, and program / DBA reference
# for the update-else-insert cases (GOAL_DBA or GOAL_STAGING, per case).
GOAL_LOAD_DATA = 1.5
GOAL_SPEEDUP = 3
GOAL_DBA = 1.0
GOAL_STAGING = 1.2
# The windows (KELVORA_WINDOW) of the sweep at N records: one statement per
# query, the candidates for the default, and for THROUGHPUT_CASES the steps
# of the throughput table.
THROUGHPUT_WINDOWS = (1, 10, 100, 1000)
CANDIDATE_WINDOWS = (100, 300, 1000, 4096)
THROUGHPUT_CASES = ("20P-replace", "KST")
# The cases without failures in the sweep, and then the exact path's file.
WINDOW_CASES = ("20P-replace", "KST", "20P-update", "IDN")
SWEEP_CASES = WINDOW_CASES + ("20P-fail",)
PROFILE_CASES = ("20P-replace", "20P-update", "IDN")
UTF8_CASES = ("20P-1252", "20P-utf8", "connect")


# A field of the line as the program takes it: SUBSTRING at its fixed
# position (the layout's offset + 1) and width, RTRIM for the blanks that
# the program trims.
def field(start, width):
    return f"RTRIM(SUBSTRING(@line, {start}, {width}))"


# A field stored as it stands, blanks and all.
def raw(start, width):
    return f"SUBSTRING(@line, {start}, {width})"


# A date field of IDN in MySQL mode: the text when it is later than
# 19000000 byte for byte, else the replacement, formatted as the program's
# statements format it.
def usable_date(start, width, replacement, form):
    text = field(start, width)
    return f"DATE_FORMAT(IF(BINARY {text} > '19000000', {text}, {replacement}), '{form}')"


# How each type code's lines are cut into the columns, by the value rules of
# the member's statements: (column, expression) pairs.
CUT_20P = (("M20Trm", field(1, 255)), ("M20Sch", field(256, 2)), ("M20Tg1", field(258, 1)),
           ("M20Zz2", raw(259, 5)), ("M20Ofv", raw(264, 4)), ("M20Ofb", raw(268, 4)))
CUT_35P = (("M35Trm", field(1, 255)), ("M35Fir", field(256, 3)), ("M35Bkl", field(259, 5)),
           ("M35Les", field(264, 2)), ("M35Wle", field(266, 2)), ("M35Wpl", field(268, 3)),
           ("M35Zko", field(271, 5)), ("M35Zzo", field(276, 5)), ("M35Bch", field(281, 1)))
CUT_41P = (("M41Trm", field(1, 255)), ("M41Fir", field(256, 3)), ("M41Zpl", field(259, 3)),
           ("M41Wnr", field(262, 2)), ("M41Zzo", field(264, 5)), ("M41Tnr", field(269, 1)),
           ("M41Von", field(270, 4)), ("M41Bis", field(274, 4)))
# KidNum: NULL when the field is blank.
CUT_KST = (("KidKst", field(1, 30)), ("KidMnd", field(31, 5)), ("KidLiz", field(36, 5)),
           ("KidNum", f"NULLIF({field(41, 7)}, '')"), ("KidSys", field(48, 7)),
           ("KidTxt", field(55, 30)), ("KidErf", field(85, 50)))
# AwbMnd: the whole number as the server prints it (the files hold nothing
# else, which the bench checks); AwbZuv: a digit's value, else 0.
CUT_BKL = (("AwbAws", field(1, 50)), ("AwbBkl", field(51, 5)), ("AwbLiz", field(56, 5)),
           ("AwbMnd", f"CAST({field(61, 5)} AS SIGNED)"),
           ("AwbZuv", f"IF(ASCII({raw(66, 1)}) BETWEEN 48 AND 57, ASCII({raw(66, 1)}) - 48, 0)"))
# IDN's fill rules in MySQL mode: a blank AswSto or AswBkl becomes 0, an
# unusable AswGvo the server's date, an unusable AswGbi or AswDat NULL.
CUT_IDN = (("AswNum", field(1, 50)), ("AswSto", f"COALESCE(NULLIF({field(51, 8)}, ''), '0')"),
           ("AswGvo", usable_date(59, 8, "DATE_FORMAT(CURDATE(), '%Y%m%d')", "%Y%m%d")),
           ("AswGbi", usable_date(67, 8, "NULL", "%Y%m%d")), ("AswPnr", field(75, 8)),
           ("AswNam", field(83, 50)), ("AswSpr", field(133, 5)),
           ("AswBkl", f"COALESCE(NULLIF({field(138, 5)}, ''), '0')"), ("AswPin", field(143, 32)),
           ("AswCod", field(175, 5)), ("AswGrp", field(180, 5)), ("AswLiz", field(185, 5)),
           ("AswMnd", field(190, 5)), ("AswAtp", field(195, 2)), ("AswAan", field(197, 50)),
           ("AswMta", field(247, 2)), ("AswSal", field(249, 10)), ("AswBk2", field(259, 5)),
           ("AswSta", field(264, 5)), ("AswDat", usable_date(269, 14, "NULL", "%Y%m%d%H%i%s")),
           ("AswErf", field(283, 50)), ("AswMap", field(333, 1)), ("AswKst", field(334, 30)))

IDN_TABLES = ("QVS301ASW", "QVS113AWV", "QVS113STO")


@dataclass(frozen=True)
class Emptied:
    """Before the run the tables are emptied."""
    tables: tuple


@dataclass(frozen=True)
class Restored:
    """Before the run the table holds the rows that the program, run with
    arguments on an empty table, writes from file; clock ("" for none) is set
    back to an old date, so that every update changes its row."""
    table: str
    file: str
    clock: str
    arguments: tuple


@dataclass(frozen=True)
class Dba:
    """What a database administrator would write by hand for an
    update-else-insert case: the lines staged by LOAD DATA, then one
    INSERT ... SELECT ... ON DUPLICATE KEY UPDATE setting the columns that
    the member's update sets (updated; None for every staged column), with
    the member's own statements before and after."""
    label: str
    goal: float
    table: str
    cut: tuple
    added_columns: str = ""
    added_values: str = ""
    updated: tuple = None
    before: tuple = ()
    after: tuple = ()


@dataclass(frozen=True)
class Case:
    """One thing the program is measured on. before is None for a case that
    runs on the rows the case before it left."""
    key: str
    name: str
    label: str
    arguments: tuple
    file: str
    tables: tuple
    before: object
    dba: Dba = None
    load_data: tuple = None
    split: bool = False
    speed_goal: bool = False
    failing_every: int = 0


def _upsert(type_code, table, clock, cut, updated):
    """20P, 35P and 41P UpdateMode: every key is there before the run."""
    return Case(f"{type_code}-update", f"{type_code} UpdateMode",
                f"{type_code} UpdateMode (update-else-insert, every key there)", (type_code, "UPD"),
                f"{type_code}.txt", (table,), Restored(table, f"{type_code}.txt", clock, (type_code,)),
                dba=Dba("staging table, one upsert", GOAL_DBA if type_code == "20P" else GOAL_STAGING,
                        table, cut, clock, "SYSDATE()", updated),
                speed_goal=type_code == "20P")


_BKL_BEFORE = Restored("QVS301AWB", "BKL_half.txt", "AwbDat", ("BKL",))
_BKL_SWEEP = ("DELETE FROM RURUVURO.QVS301AWB WHERE AwbSta = 4 ;",)

CASES = {case.key: case for case in (
    Case("20P-replace", "20P ReplaceMode", "20P ReplaceMode (inserts)", ("20P",), "20P.txt",
         ("MGSST20P",), Emptied(("MGSST20P",)), load_data=CUT_20P + (("M20Dat", "SYSDATE()"),)),
    _upsert("20P", "MGSST20P", "M20Dat", CUT_20P, ("M20Ofb", "M20Dat")),
    _upsert("35P", "MGSST35P", "M35Dat", CUT_35P, ("M35Zko", "M35Zzo", "M35Bch", "M35Dat")),
    _upsert("41P", "MGSST41P", "M41Dat", CUT_41P, ("M41Bis", "M41Dat")),
    # Every second key of the file is there, written by an earlier run.
    Case("KST", "KST", "KST (mark, update/insert, sweep; half the keys there)", ("KST",), "KST.txt",
         ("QVS120KID",), Restored("QVS120KID", "KST_half.txt", "", ("KST",)),
         dba=Dba("mark, staging table, one upsert, sweep", GOAL_DBA, "QVS120KID", CUT_KST,
                 "KidSta", "1", ("KidNum", "KidSys", "KidTxt", "KidSta", "KidErf"),
                 before=("UPDATE RURUVURO.QVS120KID SET  KidSta = 4 ;",),
                 after=("DELETE FROM RURUVURO.QVS120KID WHERE KidSta = 4 ;",)),
         speed_goal=True),
    Case("BKL", "BKL ReplaceMode", "BKL ReplaceMode (mark, update/insert, sweep; half the keys there)",
         ("BKL",), "BKL.txt", ("QVS301AWB",), _BKL_BEFORE,
         dba=Dba("mark, staging table, one upsert, sweep", GOAL_STAGING, "QVS301AWB", CUT_BKL,
                 "AwbSta, AwbDat", "1, CURRENT_TIMESTAMP", ("AwbZuv", "AwbSta", "AwbDat"),
                 before=("UPDATE RURUVURO.QVS301AWB SET  AwbSta = 4 ;",), after=_BKL_SWEEP)),
    Case("BKL-update", "BKL UpdateMode", "BKL UpdateMode (update/insert, sweep; half the keys there)",
         ("BKL", "UPD"), "BKL.txt", ("QVS301AWB",), _BKL_BEFORE,
         dba=Dba("staging table, one upsert, sweep", GOAL_STAGING, "QVS301AWB", CUT_BKL,
                 "AwbSta, AwbDat", "1, CURRENT_TIMESTAMP", ("AwbZuv", "AwbSta", "AwbDat"),
                 after=_BKL_SWEEP)),
    # The clearing of MySQL mode first, the Sto and link rows from the staged
    # rows after the upsert of the identity rows.
    Case("IDN", "IDN", "IDN (3 tables cleared, Sto and link rows, update-else-insert)", ("IDN",),
         "IDN.txt", IDN_TABLES, Emptied(IDN_TABLES),
         dba=Dba("clearing, staging table, one upsert, Sto and link rows by INSERT IGNORE ... SELECT DISTINCT",
                 GOAL_STAGING, "QVS301ASW", CUT_IDN,
                 before=("DELETE FROM RURUVURO.QVS301ASW; DELETE FROM RURUVURO.QVS113AWV;"
                         " DELETE FROM RURUVURO.QVS113STO;",),
                 after=("INSERT IGNORE INTO RURUVURO.QVS113STO (StoNum, StoSta, StoErf)\n"
                        "  SELECT DISTINCT AswSto, '1', 'ZiDidaze' FROM bench_stage;",
                        "INSERT IGNORE INTO RURUVURO.QVS113AWV (AwvNum, AwvSto, AwvCod, AwvSta, AwvDat, AwvErf)\n"
                        "  SELECT DISTINCT AswNum, AswSto, AswCod, '1', NOW(), 'ZiDidaze' FROM bench_stage;")),
         split=True, speed_goal=True),
    Case("20P-fail", f"20P ReplaceMode, every {FAIL_EVERY}th record failing",
         f"20P ReplaceMode, every {FAIL_EVERY}th record a duplicate key", ("20P",), "20P-fail.txt",
         ("MGSST20P",), Emptied(("MGSST20P",)), failing_every=FAIL_EVERY),
    Case("20P-1252", "20P-1252", "20P ReplaceMode, Windows-1252 file (check and import)", ("20P",),
         "20P-1252.txt", ("MGSST20P",), Emptied(("MGSST20P",))),
    # These two write nothing: each runs right after 20P-1252, on the rows
    # it left, and the digest shows that it left them so.
    Case("20P-utf8", "20P-utf8",
         "20P, the same file with a UTF-8 sequence in its last line (check, refused)", ("20P",),
         "20P-utf8.txt", ("MGSST20P",), None),
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
    windows = {1, *CANDIDATE_WINDOWS}
    if key in THROUGHPUT_CASES:
        windows.update(THROUGHPUT_WINDOWS)
    return sorted(windows)


# LOAD DATA LOCAL INFILE of a file into a table: each line is one field (no
# tab in the data, nothing escaped), cut into the columns by cut.
def load_lines(path, table, cut):
    assignments = ",\n      ".join(f"{column} = {expression}" for column, expression in cut)
    return (f"LOAD DATA LOCAL INFILE '{path}' INTO TABLE {table}\n"
            "  CHARACTER SET latin1\n"
            "  FIELDS TERMINATED BY '\\t' ENCLOSED BY '' ESCAPED BY ''\n"
            "  LINES TERMINATED BY '\\n'\n"
            "  (@line)\n"
            f"  SET {assignments};\n")


# The DBA reference of a case, in one transaction as the program's run: a
# temporary staging table with the columns of the cut, typed as in the
# member's table (no index), filled by LOAD DATA, then the upsert between
# the member's own statements.
def dba_statements(case, path):
    dba = case.dba
    columns = ", ".join(column for column, _ in dba.cut)
    updated = dba.updated or [column for column, _ in dba.cut]
    sets = ", ".join(f"{column} = VALUES({column})" for column in updated)
    added_columns = f", {dba.added_columns}" if dba.added_columns else ""
    added_values = f", {dba.added_values}" if dba.added_values else ""
    return "\n".join((
        "START TRANSACTION;", *dba.before,
        f"CREATE TEMPORARY TABLE bench_stage AS SELECT {columns} FROM RURUVURO.{dba.table} LIMIT 0;",
        load_lines(path, "bench_stage", dba.cut),
        f"INSERT INTO RURUVURO.{dba.table} ({columns}{added_columns})\n"
        f"  SELECT {columns}{added_values} FROM bench_stage\n"
        f"  ON DUPLICATE KEY UPDATE {sets};",
        *dba.after, "COMMIT;", ""))
