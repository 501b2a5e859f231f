"""The tables of bench/run, written into bench/RESULTS.md between the markers
that bench/run owns; text outside them is kept."""
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import cases
from cases import CASES, FAIL_DISTANCE, FAIL_EVERY, MEASURED

BEGIN_MARKER = "<!-- bench/run: begin generated part -->"
END_MARKER = "<!-- bench/run: end generated part -->"
MIB = 1048576


def name(case):
    return CASES[case].name


# The DBA reference of a case in words, with the case's name.
def dba_label(case):
    return f"{name(case)}: {CASES[case].dba.label}"


# The lower of two figures, for the server's CPU time measured twice.
def lower(first, second):
    return first if first < second else second


# The machine, the server and the build that the figures come from.
def machine_description(bench):
    cpu = next((line.split(":", 1)[1].strip() for line in command_text(["lscpu"], LC_ALL="C").splitlines()
                if line.startswith("Model name:")), "unknown")
    memory = next(int(line.split()[1]) for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    release = dict(line.rstrip("\n").split("=", 1) for line in open("/etc/os-release") if "=" in line)
    system = release.get("PRETTY_NAME", "").strip('"')
    compiler = bench.cmake.get("CMAKE_CXX_COMPILER", "")
    compiler = f"{compiler} {command_text([compiler, '-dumpfullversion']).strip()}"
    source = bench.cmake.get("CMAKE_HOME_DIRECTORY", "")
    state = f"commit {bench.revision}"
    if Path(source).resolve() != Path(__file__).resolve().parent.parent:
        state = f"sources copied to {source} (repository at commit {bench.revision})"
    elif bench.dirty > 0:
        state = f"{state} with {bench.dirty} uncommitted change(s) under src/"
    else:
        state = f"{state}, src/ clean"
    server = bench.sql("SELECT VERSION(), @@innodb_buffer_pool_size DIV 1048576, @@innodb_flush_log_at_trx_commit, "
                       "@@innodb_doublewrite, @@max_allowed_packet DIV 1024")[0]
    return [f"- CPU: {cpu}, {len(os.sched_getaffinity(0))} cores (the server, the client and everything else share them)",
            f"- Memory: {memory / MIB:.1f} GiB",
            f"- OS: {system}, kernel {platform.release()}",
            f"- Server: MariaDB {server[0]}, started by scripts/testdb on a local socket (innodb_buffer_pool_size "
            f"{server[1]}M, innodb_flush_log_at_trx_commit {server[2]}, doublewrite {server[3]}, "
            f"max_allowed_packet {server[4]} KiB)",
            f"- Program: {bench.options.build_dir} ({bench.cmake.get('CMAKE_BUILD_TYPE', '')}, {compiler}), {state}; "
            f"default window {bench.default_window} records"]


# A command's standard output as text ("" when it cannot run).
def command_text(command, **environment):
    try:
        return subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, **environment)).stdout
    except OSError:
        return ""


# The one-minute load average after the measured runs: lowest, median and
# highest.
def load_during_runs(loads):
    loads = sorted(loads)
    return (f"one-minute load average after the {len(loads)} measured runs: lowest {loads[0]:.2f}, "
            f"median {loads[(len(loads) + 1) // 2 - 1]:.2f}, highest {loads[-1]:.2f}")


# The table for one size. "x LOAD DATA" divides a row's wall time by the
# time of LOAD DATA of the same size; "own replay / this" divides the time
# of the case's own one-statement replay by the program's time.
def size_table(bench, size):
    load = bench.results[("load:20P", size)].wall

    def row(label, key, own_key=None):
        run = bench.results[(key, size)]
        own = f"{bench.results[(own_key, size)].wall / run.wall:.2f}" if own_key else ""
        return (f"| {label} | {size} | {run.wall:.2f} | {size / run.wall:.0f} | {run.wall / load:.2f} | {own} | "
                f"{run.cpu:.2f} | {run.server:.2f} | {run.rss} | {run.slowest:.2f} |")
    lines = [f"#### {size} records", "",
             "| case | records | seconds | records/s | x LOAD DATA | own replay / this | client CPU s | "
             "server CPU s | peak RSS KiB | slowest run s |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    lines += [row(f"program: {CASES[case].label}", f"program:{case}", f"replay:{case}") for case in MEASURED]
    lines.append(row("reference: LOAD DATA LOCAL INFILE, 20P", "load:20P"))
    lines += [row(f"DBA reference: {dba_label(case)}", f"dba:{case}") for case in cases.UPSERT_CASES]
    lines += [row(f"own replay, one statement per query: {name(case)}", f"replay:{case}") for case in MEASURED]
    lines += [row(f"windowed replay, the program's queries: {name(case)}", f"windowed:{case}") for case in MEASURED]
    for case in cases.SPLIT_CASES:
        lines.append(row(f"windowed replay, split: {name(case)} without the Sto and link rows", f"upserts:{case}"))
        lines.append(row(f"windowed replay, split: {name(case)}, the Sto and link rows alone", f"rows:{case}"))
    return lines + [""]


# The goals against the bulk references: the program's wall time over its
# reference's, and beside it the server's CPU time for the program's
# statements (the lower of the program's fastest run and the windowed
# replay's) over the reference's wall time: the floor of the ratio.
def reference_goals_table(bench, size):
    def row(case, reference, key, goal):
        program, wall = bench.results[(f"program:{case}", size)], bench.results[(key, size)].wall
        server = lower(program.server, bench.results[(f"windowed:{case}", size)].server)
        ratio = program.wall / wall
        return (f"| {name(case)} | {program.wall:.2f} | {reference} | {wall:.2f} | {ratio:.2f}x | at most {goal:.1f}x | "
                f"{'yes' if ratio <= goal else 'no'} | {server:.2f} | {server / wall:.2f}x |")
    return [f"Goals at {size} records (wall times of this run, program / reference). \"Server CPU\" is the server's CPU",
            "time for the program's statements (the lower of the program's fastest run and the windowed replay's);",
            "\"floor\" divides it by the reference's wall time: no client sending these statements can go below it.",
            "",
            "| case | program s | reference | reference s | program / reference | goal | met | server CPU s | floor |",
            "|---|---:|---|---:|---:|---:|---|---:|---:|",
            row("20P-replace", "LOAD DATA LOCAL INFILE", "load:20P", cases.GOAL_LOAD_DATA),
            *(row(case, f"DBA: {CASES[case].dba.label}", f"dba:{case}", CASES[case].dba.goal)
              for case in cases.UPSERT_CASES), ""]


# The goals of the windows against one statement per query, with what bounds
# them: the server's CPU time for the windowed statements (the lower of the
# program's fastest run and the windowed replay's), which no client sending
# them can go below.
def goals_table(bench, size):
    def result(key):
        return bench.results[(key, size)]
    load, program = result("load:20P").wall, result("program:20P-replace").wall
    lines = ["Goals at {} records (wall times of this run). \"Server CPU\" is the server's CPU time for the windowed"
             .format(size),
             "statements (the lower of the program's fastest run and the windowed replay's); \"ceiling\" divides the own",
             "replay's time by it: about the most any client sending the windowed statements could reach.", "",
             "| case | measure | goal | this run | met | KELVORA_WINDOW=1 / program | server CPU s | ceiling |",
             "|---|---|---:|---:|---|---:|---:|---:|",
             f"| 20P ReplaceMode | program / LOAD DATA ({program:.2f} s / {load:.2f} s) | at most {cases.GOAL_LOAD_DATA}x | "
             f"{program / load:.2f}x | {'yes' if program / load <= cases.GOAL_LOAD_DATA else 'no'} | "
             f"{result('window:20P-replace:1').wall / program:.2f}x |  |  |"]
    for case in cases.SPEEDUP_CASES:
        own, program = result(f"replay:{case}").wall, result(f"program:{case}")
        server = lower(program.server, result(f"windowed:{case}").server)
        ceiling = f"{own / server:.2f}x" if server else ""
        lines.append(f"| {name(case)} | own one-statement replay / program ({own:.2f} s / {program.wall:.2f} s) | "
                     f"at least {cases.GOAL_SPEEDUP}x | {own / program.wall:.2f}x | "
                     f"{'yes' if own / program.wall >= cases.GOAL_SPEEDUP else 'no'} | "
                     f"{result(f'window:{case}:1').wall / program.wall:.2f}x | {server:.2f} | {ceiling} |")
    return lines + [""]


# What each case sends, and what the server spends per statement in each
# pattern, from the captured streams and the replays.
def traffic_table(bench, size):
    lines = [f"What the program sends at {size} records (from the general query log of the capture runs), and the",
             "server's CPU time per statement in the two replays (server CPU / statements of the stream):", "",
             "| case | statements = queries, window 1 | MiB sent, window 1 | queries, default window | "
             "statements in their texts | MiB sent, default window | server CPU per statement, own replay µs | "
             "server CPU per statement, windowed replay µs | windowed replay s | program s |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for case in (*MEASURED, "20P-fail"):
        single = bench.streams[f"{case}-{size}-w1"]
        windowed = bench.streams[f"{case}-{size}-wdefault"]
        replay = bench.results.get((f"replay:{case}", size))
        windowed_replay = bench.results.get((f"windowed:{case}", size))
        lines.append(
            f"| {name(case)} | {single.queries} | {single.bytes / MIB:.1f} | {windowed.queries} | "
            f"{windowed.statements} | {windowed.bytes / MIB:.1f} | "
            f"{f'{1e6 * replay.server / single.queries:.1f}' if replay else ''} | "
            f"{f'{1e6 * windowed_replay.server / windowed.statements:.1f}' if windowed_replay else ''} | "
            f"{f'{windowed_replay.wall:.2f}' if windowed_replay else ''} | "
            f"{bench.results[(f'program:{case}', size)].wall:.2f} |")
    return lines + [""]


# Seconds and records per second of the program for each window of the sweep.
def window_table(bench, size, title, table_cases, windows):
    lines = [title, "", "| case |" + "".join(f" {window} |" for window in windows),
             "|---|" + "---:|" * len(windows)]
    for case in table_cases:
        cells = ""
        for window in windows:
            run = bench.results.get((f"window:{case}:{window}", size))
            cells += f" {run.wall:.2f} s, {size / run.wall:.0f}/s |" if run else " |"
        lines.append(f"| {name(case)} |{cells}")
    return lines + [""]


# The sum of the cases' times for each candidate window.
def candidate_totals(bench, size):
    totals = [sum(bench.results[(f"window:{case}:{window}", size)].wall for case in cases.WINDOW_CASES)
              for window in cases.CANDIDATE_WINDOWS]
    return ["| the four cases without failures, together |" + "".join(f" {total:.2f} s |" for total in totals), ""]


# The exact path against the clean file; the queries and bytes are known for
# the captured runs only (window 1 and the default).
def exact_path_table(bench, size):
    reference = bench.streams[f"20P-fail-{size}-w1"]
    output = Path(f"{reference.base}.out").read_bytes()
    lines = output.count(b"\n")

    def row(file, window_text, key, clean_key, case, stream_window):
        run = bench.results[(key, size)]
        clean = f"{run.wall / bench.results[(clean_key, size)].wall:.2f}" if clean_key else ""
        queries = mib = ""
        if stream_window in (None, 1):
            stream = bench.streams[f"{case}-{size}-w{stream_window or 'default'}"]
            queries, mib = stream.queries, f"{stream.bytes / MIB:.1f}"
        return (f"| {file} | {window_text} | {run.wall:.2f} | {size / run.wall:.0f} | {queries} | {mib} | {clean} | "
                f"{run.server:.2f} | {run.slowest:.2f} |")
    failing, default = f"every {FAIL_EVERY}th record fails", f"default ({bench.default_window})"
    return [f"The exact path at {size} records: 20P ReplaceMode on a file whose every {FAIL_EVERY}th record repeats",
            f"the record {FAIL_DISTANCE} lines before it (1062), against the file without them. On the failing file",
            f"every run, whatever its window, printed the same {lines} lines ({len(output)} bytes) on standard "
            "output as the",
            f"run with KELVORA_WINDOW=1 (cmp) and ended with its exit status, {reference.status}.", "",
            "| file | window | seconds | records/s | queries | MiB sent | x same window on the clean file | "
            "server CPU s | slowest run s |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|",
            row(failing, default, "program:20P-fail", "program:20P-replace", "20P-fail", None),
            *(row(failing, window, f"window:20P-fail:{window}", f"window:20P-replace:{window}", "20P-fail", window)
              for window in cases.sweep_windows("20P-fail")),
            row("clean", default, "program:20P-replace", None, "20P-replace", None),
            row("clean", 1, "window:20P-replace:1", None, "20P-replace", 1), ""]


# Peak memory of the client for every case and size, with the large size
# when measured, and then the wall time of the run at the large size and of
# its run with KELVORA_WINDOW=1.
def memory_table(bench):
    large, large_size = bench.options.large, bench.large_size
    sizes = bench.sizes + ([large_size] if large else [])
    header = "| case |" + "".join(f" {size} records |" for size in sizes)
    rule = "|---|" + "---:|" * len(sizes)
    if large:
        header += f" program s, {large_size} | KELVORA_WINDOW=1 s, {large_size} |"
        rule += "---:|---:|"
    lines = ["Peak resident memory of the client process (KiB), the sizes side by side:", "", header, rule]

    def rss_cells(key):
        return "".join(f" {bench.results[(key, size)].rss if (key, size) in bench.results else ''} |"
                       for size in sizes)
    for case in MEASURED:
        line = f"| program, default window: {name(case)} |{rss_cells(f'program:{case}')}"
        if large:
            run = bench.results.get((f"program:{case}", large_size))
            reference = bench.streams.get(f"{case}-{large_size}-w1")
            line += f" {f'{run.wall:.2f}' if run else ''} | {f'{reference.seconds:.1f}' if reference else ''} |"
        lines.append(line)
    for label, key in (("LOAD DATA", "load:20P"), ("own replay of 20P ReplaceMode", "replay:20P-replace")):
        lines.append(f"| mariadb client: {label} |{rss_cells(key)}" + (" | |" if large else ""))
    lines.append("")
    if large:
        minutes, seconds = divmod(bench.large_seconds, 60)
        lines += [f"The measurements at {large_size} records (these runs, their references and the UTF-8 check) took "
                  f"{minutes} min {seconds} s, files and table states included.", ""]
    return lines


# The three runs of the UTF-8 check, and the check's cost: the refusal's
# time less the connection's, against the import's.
def utf8_table(bench, size):
    def result(case):
        return bench.results[(f"program:{case}", size)]
    lines = [f"The UTF-8 check at {size} records, a 20P file of "
             f"{bench.data(size, '20P-1252.txt').stat().st_size} bytes whose only byte above ASCII stands in",
             f"its last line (so the check reads and scans all of it); fastest of {bench.options.repeat} rounds:", "",
             "| run | exit status | seconds | slowest run s | client CPU s | server CPU s | peak RSS KiB |",
             "|---|---:|---:|---:|---:|---:|---:|"]
    for case in cases.UTF8_CASES:
        run = result(case)
        lines.append(f"| {CASES[case].label} | {bench.streams[f'{case}-{size}-w1'].status} | {run.wall:.2f} | "
                     f"{run.slowest:.2f} | {run.cpu:.2f} | {run.server:.2f} | {run.rss} |")
    imported, refused, connected = result("20P-1252"), result("20P-utf8"), result("connect")
    check_cpu = refused.cpu - connected.cpu
    share_cpu = 100 * check_cpu / imported.cpu if imported.cpu else 0
    return lines + ["", f"The check (refusal less connection): {refused.wall - connected.wall:.2f} s of wall time, "
                    f"{check_cpu:.2f} s of client CPU; {100 * (refused.wall - connected.wall) / imported.wall:.1f} % "
                    f"of the import of {imported.wall:.2f} s ({share_cpu:.1f} % of its {imported.cpu:.2f} s of "
                    "client CPU).", ""]


def generated_report(bench):
    options, size = bench.options, bench.options.size
    lines = [BEGIN_MARKER, "", "## Figures of the last run", "",
             f"`bench/run {size} --repeat {options.repeat}{' --large' if options.large else ''}`, "
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, each figure from the fastest of {options.repeat} "
             f"runs (peak memory: the highest of them). Load average of the machine: {bench.load_before} at the start, "
             f"{' '.join(open('/proc/loadavg').read().split()[:3])} at the end; {load_during_runs(bench.loads)}.",
             "", *machine_description(bench), "", "### Goals", "", *reference_goals_table(bench, size),
             "The windows against one statement per query (the goal they were built for):", "",
             *goals_table(bench, size), "### All cases", ""]
    for each in bench.sizes:
        lines += size_table(bench, each)
    lines += ["### Queries and statements", "", *traffic_table(bench, size), "### Window size", "",
              *window_table(bench, size, f"Window size (KELVORA_WINDOW) against throughput, {size} records, seconds "
                            "and records/s:", cases.THROUGHPUT_CASES, cases.THROUGHPUT_WINDOWS),
              *window_table(bench, size, f"Candidates for the default window, {size} records, seconds and records/s:",
                            cases.SWEEP_CASES, cases.CANDIDATE_WINDOWS),
              *candidate_totals(bench, size), "### Exact path", "", *exact_path_table(bench, size),
              "### Memory", "", *memory_table(bench)]
    if options.large:
        lines += ["### UTF-8 check", "", *utf8_table(bench, bench.large_size)]
    if options.profile:
        lines += ["### Profile", "", *bench.profile_text]
    return "\n".join(lines + [END_MARKER]) + "\n"


# Replaces the generated part of the results file, keeping the text around
# it, and prints the generated part.
def write_results(bench, path):
    generated = generated_report(bench)
    old = path.read_text(encoding="utf-8").splitlines(keepends=True) if path.exists() else []
    markers = [line.rstrip("\n") for line in old]
    if BEGIN_MARKER not in markers or END_MARKER not in markers:
        old = ["# Kelvora benchmark\n", "\n", BEGIN_MARKER + "\n", END_MARKER + "\n"]
    text, skipping = [], False
    for line in old:
        if line.rstrip("\n") == BEGIN_MARKER:
            text.append(generated)
            skipping = True
        elif line.rstrip("\n") == END_MARKER:
            skipping = False
        elif not skipping:
            text.append(line)
    Path(f"{path}.new").write_text("".join(text), encoding="utf-8")
    os.replace(f"{path}.new", path)
    print(generated, end="")
    print(f"bench: written to {path}", file=sys.stderr)
