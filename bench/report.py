"""The tables of bench/run and the profile, written into bench/RESULTS.md
between the markers that bench/run owns; text outside them is kept."""
import os
import platform
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import cases
from cases import CASES, FAIL_DISTANCE, FAIL_EVERY, MEASURED

BEGIN_MARKER = "<!-- bench/run: begin generated part -->"
END_MARKER = "<!-- bench/run: end generated part -->"
WATCH_BEGIN_MARKER = "<!-- bench/run: begin watcher part -->"
WATCH_END_MARKER = "<!-- bench/run: end watcher part -->"
MIB = 1048576
PROFILE_TOP = 15
SERVER_PROFILE_TOP = 12
SERVER_OBJECTS_TOP = 5
PERF_FREQUENCY = 4000
# perf needs a moment to attach to every thread of the server.
PERF_ATTACH_SECONDS = 1
# The socket calls that cause the context switches.
SYSCALL_EVENTS = ("syscalls:sys_enter_sendto", "syscalls:sys_enter_recvfrom", "syscalls:sys_enter_poll")
# The stages of a statement in the server, as functions whose samples include what they call.
SERVER_STAGES = (
    ("connection thread, all of it", "do_command"),
    ("socket reads of the queries (libc, and the kernel below it)", "__libc_recv"),
    ("parsing the statements", "parse_sql"),
    ("running the statements", "mysql_execute_command"),
    ("&nbsp;&nbsp;of which UPDATE", "mysql_update"),
    ("&nbsp;&nbsp;of which INSERT", "mysql_insert"),
    ("&nbsp;&nbsp;of which the row writes in InnoDB (update)", "handler::ha_update_row"),
    ("&nbsp;&nbsp;of which the row writes in InnoDB (insert)", "handler::ha_write_row"),
    ("socket writes of the answers, one per statement (libc, and the kernel below it)", "__send"),
    ("commit", "ha_commit_trans"),
    ("InnoDB's background threads", "tpool::thread_pool_generic::worker_main"))
CALLGRIND_FUNCTION = re.compile(r"^ *([0-9][0-9,]*) \( *[0-9.]+%\)  (.*?)( \[([^]]*)\])?$")
PERF_CHILDREN_LINE = re.compile(r"^ *[0-9.]+% +[0-9.]+% +\[[^]]*\] +")
PERF_SELF_LINE = re.compile(r"^ *[0-9.]+% +[^ ]+ +\[[^]]*\] +")

# A case's short name, as the tables show it.
def name(case):
    return CASES[case].name

# A command's standard output as text, "" when it cannot run.
def output_of(command, **environment):
    try:
        return subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, **environment)).stdout
    except OSError:
        return ""

# A table cell of a figure that may be missing (None).
def cell(value, form="{:.2f}"):
    return "" if value is None else form.format(value)

# Whether a goal was met, as the tables say it.
def yes_no(met):
    return "yes" if met else "no"

# A table: header cells joined by " | ", "l" or "r" per column, rows as lists of cells; then a blank line.
def table(header, alignment, rows):
    lines = [f"| {header} |", "|" + "".join("---|" if side == "l" else "---:|" for side in alignment)]
    return lines + ["| " + " | ".join(str(value) for value in row) + " |" for row in rows] + [""]

# The machine, the server and the build the figures come from.
def machine_description(bench):
    cpu = re.search(r"^Model name: *(.*)$", output_of(["lscpu"], LC_ALL="C"), re.M)
    memory = int(re.search(r"MemTotal: *(\d+)", Path("/proc/meminfo").read_text()).group(1))
    system = re.search(r'^PRETTY_NAME="?(.*?)"?$', Path("/etc/os-release").read_text(), re.M)
    compiler = bench.cmake.get("CMAKE_CXX_COMPILER", "")
    source = Path(bench.cmake.get("CMAKE_HOME_DIRECTORY", ""))
    state = f"commit {bench.revision}, src/ clean"
    if source.resolve() != Path(__file__).resolve().parent.parent:
        state = f"sources copied to {source} (repository at commit {bench.revision})"
    elif bench.dirty:
        state = f"commit {bench.revision} with {bench.dirty} uncommitted change(s) under src/"
    server = bench.sql("SELECT VERSION(), @@innodb_buffer_pool_size DIV 1048576, @@innodb_flush_log_at_trx_commit, "
                       "@@innodb_doublewrite, @@max_allowed_packet DIV 1024")[0]
    return [f"- CPU: {cpu.group(1) if cpu else 'unknown'}, {len(os.sched_getaffinity(0))} cores (the server, the "
            "client and everything else share them)", f"- Memory: {memory / MIB:.1f} GiB",
            f"- OS: {system.group(1) if system else ''}, kernel {platform.release()}",
            f"- Server: MariaDB {server[0]}, started by scripts/testdb on a local socket (innodb_buffer_pool_size "
            f"{server[1]}M, innodb_flush_log_at_trx_commit {server[2]}, doublewrite {server[3]}, max_allowed_packet "
            f"{server[4]} KiB)",
            f"- Program: {bench.options.build_dir} ({bench.cmake.get('CMAKE_BUILD_TYPE', '')}, {compiler} "
            f"{output_of([compiler, '-dumpfullversion']).strip()}), {state}; default window {bench.default_window} "
            "records"]

# Every run at one size against LOAD DATA and, for the program, its own one-statement replay.
def size_table(bench, size):
    load = bench.results[("load:20P", size)].wall
    labels = [(f"program: {CASES[case].label}", f"program:{case}", f"replay:{case}") for case in MEASURED]
    labels.append(("reference: LOAD DATA LOCAL INFILE, 20P", "load:20P", None))
    labels += [(f"DBA reference: {name(case)}: {CASES[case].dba.label}", f"dba:{case}", None)
               for case in cases.UPSERT_CASES]
    labels += [(f"own replay, one statement per query: {name(case)}", f"replay:{case}", None) for case in MEASURED]
    labels += [(f"windowed replay, the program's queries: {name(case)}", f"windowed:{case}", None)
               for case in MEASURED]
    for case in cases.SPLIT_CASES:
        labels += [(f"windowed replay, split: {name(case)} without the Sto and link rows", f"upserts:{case}", None),
                   (f"windowed replay, split: {name(case)}, the Sto and link rows alone", f"rows:{case}", None)]
    rows = []
    for label, key, own_key in labels:
        run = bench.results[(key, size)]
        own = bench.results[(own_key, size)].wall / run.wall if own_key else None
        rows.append([label, size, cell(run.wall), f"{size / run.wall:.0f}", cell(run.wall / load), cell(own),
                     cell(run.cpu), cell(run.server), run.rss, cell(run.slowest)])
    return [f"#### {size} records", "", *table(
        "case | records | seconds | records/s | x LOAD DATA | own replay / this | client CPU s | server CPU s | "
        "peak RSS KiB | slowest run s", "lrrrrrrrrr", rows)]

# The server's CPU time for the program's statements: lower of the program's and the windowed replay's.
def server_cpu(bench, case, size):
    return min(bench.results[(f"program:{case}", size)].server, bench.results[(f"windowed:{case}", size)].server)

# The goals against the bulk references, with the floor: server CPU over the reference's wall time.
def reference_goals_table(bench, size):
    references = [("20P-replace", "LOAD DATA LOCAL INFILE", "load:20P", cases.GOAL_LOAD_DATA)]
    references += [(case, f"DBA: {CASES[case].dba.label}", f"dba:{case}", CASES[case].dba.goal)
                   for case in cases.UPSERT_CASES]
    rows = []
    for case, reference, key, goal in references:
        program, wall = bench.results[(f"program:{case}", size)].wall, bench.results[(key, size)].wall
        server = server_cpu(bench, case, size)
        rows.append([name(case), cell(program), reference, cell(wall), f"{program / wall:.2f}x", f"at most {goal:.1f}x",
                     yes_no(program / wall <= goal), cell(server), f"{server / wall:.2f}x"])
    return [f"Goals at {size} records (wall times of this run, program / reference):", "", *table(
        "case | program s | reference | reference s | program / reference | goal | met | server CPU s | floor",
        "lrlrrrlrr", rows)]

# The windows against one statement per query, with the ceiling: own replay's time over server CPU.
def goals_table(bench, size):
    def wall(key):
        return bench.results[(key, size)].wall
    program, load, goal = wall("program:20P-replace"), wall("load:20P"), cases.GOAL_LOAD_DATA
    rows = [["20P ReplaceMode", f"program / LOAD DATA ({program:.2f} s / {load:.2f} s)", f"at most {goal}x",
             f"{program / load:.2f}x", yes_no(program / load <= goal), f"{wall('window:20P-replace:1') / program:.2f}x",
             "", ""]]
    for case in cases.SPEEDUP_CASES:
        own, program, server = wall(f"replay:{case}"), wall(f"program:{case}"), server_cpu(bench, case, size)
        rows.append([name(case), f"own one-statement replay / program ({own:.2f} s / {program:.2f} s)",
                     f"at least {cases.GOAL_SPEEDUP}x", f"{own / program:.2f}x",
                     yes_no(own / program >= cases.GOAL_SPEEDUP), f"{wall(f'window:{case}:1') / program:.2f}x",
                     cell(server), cell(own / server if server else None, "{:.2f}x")])
    return [f"Goals at {size} records (wall times of this run):", "", *table(
        "case | measure | goal | this run | met | KELVORA_WINDOW=1 / program | server CPU s | ceiling",
        "llrrlrrr", rows)]

# The deletion guard: the same replace over a full table without and with it.
def guard_table(bench, size):
    plain, guarded = bench.results[("program:20P-full", size)], bench.results[("guard:20P-full", size)]
    limits = ", ".join(f"{variable}={value}" for variable, value in cases.GUARD_ENVIRONMENT.items())
    ratio = guarded.wall / plain.wall
    rows = [[name("20P-full"), cell(plain.wall), cell(guarded.wall), f"{ratio:.2f}x", f"at most {cases.GOAL_GUARD}x",
             yes_no(ratio <= cases.GOAL_GUARD), cell(plain.server), cell(guarded.server), plain.rss, guarded.rss]]
    return [f"The deletion guard at {size} records ({limits}; wall times of this run, guarded / without):", "",
            *table("case | without s | guarded s | guarded / without | goal | met | server CPU without s | "
                   "server CPU guarded s | peak RSS without KiB | peak RSS guarded KiB", "lrrrrlrrrr", rows)]

# What each case sends, and the server's CPU time per statement in the two replays.
def traffic_table(bench, size):
    rows = []
    for case in (*MEASURED, "20P-fail"):
        single, windowed = bench.streams[f"{case}-{size}-w1"], bench.streams[f"{case}-{size}-wdefault"]
        replay, replayed = bench.results.get((f"replay:{case}", size)), bench.results.get((f"windowed:{case}", size))
        rows.append([name(case), single.queries, f"{single.bytes / MIB:.1f}", windowed.queries, windowed.statements,
                     f"{windowed.bytes / MIB:.1f}", cell(1e6 * replay.server / single.queries if replay else None,
                                                         "{:.1f}"),
                     cell(1e6 * replayed.server / windowed.statements if replayed else None, "{:.1f}"),
                     cell(replayed.wall if replayed else None), cell(bench.results[(f"program:{case}", size)].wall)])
    return [f"What the program sends at {size} records:", "", *table(
        "case | statements = queries, window 1 | MiB sent, window 1 | queries, default window | statements in their "
        "texts | MiB sent, default window | server CPU per statement, own replay µs | server CPU per statement, "
        "windowed replay µs | windowed replay s | program s", "lrrrrrrrrr", rows)]

# Seconds and records/s per window of the sweep; with totals, the sum of the cases without failures.
def window_table(bench, size, title, table_cases, windows, totals=False):
    rows = []
    for case in table_cases:
        runs = [bench.results[(f"window:{case}:{window}", size)] for window in windows]
        rows.append([name(case), *(f"{run.wall:.2f} s, {size / run.wall:.0f}/s" for run in runs)])
    lines = [title, "", *table(" | ".join(["case", *map(str, windows)]), "l" + "r" * len(windows), rows)]
    if totals:
        sums = [sum(bench.results[(f"window:{case}:{window}", size)].wall for case in cases.WINDOW_CASES)
                for window in windows]
        lines += ["| the four cases without failures, together |" + "".join(f" {sum_:.2f} s |" for sum_ in sums), ""]
    return lines

# The exact path against the clean file; queries and bytes are known for the captured runs only.
def exact_path_table(bench, size):
    reference = bench.streams[f"20P-fail-{size}-w1"]
    output = Path(f"{reference.base}.out").read_bytes()
    printed_lines = output.count(b"\n")
    failing, default = f"every {FAIL_EVERY}th record fails", f"default ({bench.default_window})"
    runs = [(failing, default, "program:20P-fail", "program:20P-replace", "20P-fail", None)]
    runs += [(failing, window, f"window:20P-fail:{window}", f"window:20P-replace:{window}", "20P-fail", window)
             for window in cases.sweep_windows("20P-fail")]
    runs += [("clean", default, "program:20P-replace", None, "20P-replace", None),
             ("clean", 1, "window:20P-replace:1", None, "20P-replace", 1)]
    rows = []
    for file, window_text, key, clean_key, case, window in runs:
        run, stream = bench.results[(key, size)], bench.streams.get(f"{case}-{size}-w{window or 'default'}")
        clean = run.wall / bench.results[(clean_key, size)].wall if clean_key else None
        queries, sent = (stream.queries, stream.bytes / MIB) if stream else (None, None)
        rows.append([file, window_text, cell(run.wall), f"{size / run.wall:.0f}", cell(queries, "{}"),
                     cell(sent, "{:.1f}"), cell(clean), cell(run.server), cell(run.slowest)])
    return [f"The exact path at {size} records, every {FAIL_EVERY}th record repeating the record {FAIL_DISTANCE} "
            f"lines before it: every run printed the same {printed_lines} lines ({len(output)} bytes) as the "
            f"run with KELVORA_WINDOW=1 and ended with its exit status, {reference.status}.", "", *table(
                "file | window | seconds | records/s | queries | MiB sent | x same window on the clean file | "
                "server CPU s | slowest run s", "llrrrrrrr", rows)]

# Peak memory of the client per case and size; at the large size also the wall times.
def memory_table(bench):
    large, size = bench.options.large, bench.large_size
    sizes = bench.sizes + ([size] if large else [])
    header = " | ".join(["case", *(f"{each} records" for each in sizes)])
    if large:
        header += f" | program s, {size} | KELVORA_WINDOW=1 s, {size}"
    rows = []
    labels = [(f"program, default window: {name(case)}", f"program:{case}", case) for case in MEASURED]
    labels += [("mariadb client: LOAD DATA", "load:20P", None),
               ("mariadb client: own replay of 20P ReplaceMode", "replay:20P-replace", None)]
    for label, key, case in labels:
        runs = [bench.results.get((key, each)) for each in sizes]
        rows.append([label, *(run.rss if run else "" for run in runs)])
        if large and case:
            run, reference = bench.results.get((key, size)), bench.streams.get(f"{case}-{size}-w1")
            rows[-1] += [cell(run.wall if run else None), cell(reference.seconds if reference else None, "{:.1f}")]
        elif large:
            rows[-1] += ["", ""]
    lines = ["Peak resident memory of the client process (KiB), the sizes side by side:", "",
             *table(header, "l" + "r" * (len(header.split(" | ")) - 1), rows)]
    if large:
        lines += [f"The measurements at {size} records (these runs, their references and the UTF-8 check) took "
                  f"{bench.large_seconds // 60} min {bench.large_seconds % 60} s, files and table states included.", "",
                  *utf8_table(bench, size)]
    return lines

# The UTF-8 check's three runs, and its cost: the refusal's time less the connection's.
def utf8_table(bench, size):
    runs = [bench.results[(f"program:{case}", size)] for case in cases.UTF8_CASES]
    imported, refused, connected = runs
    check, check_cpu = refused.wall - connected.wall, refused.cpu - connected.cpu
    file_bytes = bench.data(size, "20P-1252.txt").stat().st_size
    rows = [[CASES[case].label, bench.streams[f"{case}-{size}-w1"].status, cell(run.wall), cell(run.slowest),
             cell(run.cpu), cell(run.server), run.rss] for case, run in zip(cases.UTF8_CASES, runs)]
    return ["### UTF-8 check", "",
            f"The UTF-8 check at {size} records, a 20P file of {file_bytes} bytes; fastest of {bench.options.repeat} "
            "rounds:", "",
            *table("run | exit status | seconds | slowest run s | client CPU s | server CPU s | peak RSS KiB",
                   "lrrrrrr", rows),
            f"The check (refusal less connection): {check:.2f} s of wall time, {check_cpu:.2f} s of client CPU; "
            f"{100 * check / imported.wall:.1f} % of the import of {imported.wall:.2f} s "
            f"({100 * check_cpu / imported.cpu if imported.cpu else 0:.1f} % of its {imported.cpu:.2f} s of client "
            "CPU).", ""]

# Where the time of each profiled case goes: the split without a profiler, then each profiler apart.
def profile(bench, records):
    lines = []
    for case in cases.PROFILE_CASES:
        print(f"bench: profiling {case} on {records} records", file=sys.stderr)
        bench.prepare(case, records)
        command, environment = bench.program_command(case, records, None)
        run = bench.measure(command, bench.in_dir, environment=environment)[0]
        lines += [f"#### {CASES[case].label}, {records} records, default window", "",
                  f"Time split, no profiler attached: wall {run.wall:.3f} s; client user {bench.user} s, client "
                  f"system {bench.system} s;", f"server CPU {run.server:.2f} s (all its threads).", ""]
        if shutil.which("valgrind") and shutil.which("callgrind_annotate"):
            bench.prepare(case, records)
            command, environment = bench.program_command(case, records, None)
            out = bench.work / f"callgrind-{case}.out"
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command], check=True,
                           cwd=bench.in_dir, env=environment, capture_output=True)
            listing = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", out],
                                     capture_output=True, text=True, errors="replace", check=True).stdout
            lines += summarise_callgrind(listing, records)
        else:
            lines.append("callgrind: not available on this machine.")
        if shutil.which("perf") and subprocess.run(["perf", "stat", "-e", "task-clock", "true"],
                                                   capture_output=True).returncode == 0:
            lines += count_system_calls(bench, case, records) + profile_server(bench, case, records)
        else:
            lines += ["perf: not available on this machine.", ""]
    return lines

# Instructions per shared object and the functions with the most of them (self cost).
def summarise_callgrind(listing, records):
    total, functions, per_object = 0, [], {}
    for line in listing.splitlines():
        found = CALLGRIND_FUNCTION.match(line)
        if not found:
            continue
        instructions = int(found.group(1).replace(",", ""))
        if found.group(2).startswith("PROGRAM TOTALS"):
            total = instructions
            continue
        # Code inlined from another file is listed without its object.
        objectname = found.group(4).rsplit("/", 1)[-1] if found.group(4) else "(inlined, object not named)"
        functions.append((instructions, objectname, re.sub(r"^[^:]*:", "", found.group(2), count=1)))
        per_object[objectname] = per_object.get(objectname, 0) + instructions
    shown = {objectname: count for objectname, count in per_object.items() if count >= total / 200}
    rest = sum(per_object.values()) - sum(shown.values())
    objects = [[objectname, count, f"{100 * count / total:.1f}%"]
               for objectname, count in sorted(shown.items(), key=lambda item: -item[1])]
    objects.append(["everything else", rest, f"{100 * rest / total:.1f}%"])
    top = [[f"`{function}`", objectname, count, f"{count / records:.0f}", f"{100 * count / total:.1f}%"]
           for count, objectname, function in functions[:PROFILE_TOP]]
    return ["callgrind (instructions of the client process only; the kernel and the server are not in it):",
            f"{total} instructions in all, {total / records:.0f} per record.", "",
            *table("shared object | instructions | share", "lrr", objects),
            *table("function (self cost) | object | instructions | per record | share", "llrrr", top)]

# perf stat of the client and the server: CPU time, context switches and socket calls.
def count_system_calls(bench, case, records):
    events = "task-clock,context-switches"
    if subprocess.run(["perf", "stat", "-e", SYSCALL_EVENTS[0], "true"], capture_output=True).returncode == 0:
        events += "," + ",".join(SYSCALL_EVENTS)
    bench.prepare(case, records)
    command, environment = bench.program_command(case, records, None)
    files = (bench.work / "perf-stat-client.txt", bench.work / "perf-stat-server.txt")
    counter = subprocess.Popen(["perf", "stat", "-x,", "-e", events, "-p", str(bench.server_pid), "-o", files[1]],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(PERF_ATTACH_SECONDS)
    subprocess.run(["perf", "stat", "-x,", "-e", events, "-o", files[0], *command], cwd=bench.in_dir, check=True,
                   env=environment, capture_output=True)
    counter.send_signal(signal.SIGINT)
    counter.wait()
    counts = [perf_counts(file) for file in files]
    order = list(dict.fromkeys([*counts[0], *counts[1]]))

    def count_cell(event, value):
        if value == "" or "not" in value:
            return "-"
        if event == "task-clock":
            return f"{float(value):.0f}"
        return f"{int(float(value))} ({float(value) / records:.2f} per record)"
    rows = [[process, *(count_cell(event, count.get(event, "")) for event in order)]
            for process, count in zip(("client", "server (all threads)"), counts)]
    header = " | ".join(["process", *(f"{event}{' ms' if event == 'task-clock' else ''}" for event in order)])
    return ["perf stat of the same import, no other profiler (the server's counts are all its threads, from one",
            "second before the import to its end):", "", *table(header, "l" + "r" * len(order), rows)]

# perf stat's CSV counts (the count first, the event third) by event.
def perf_counts(path):
    counts = {}
    for line in path.read_text().splitlines():
        fields = line.split(",")
        if not line.startswith("#") and len(fields) >= 3:
            counts[fields[2].replace("syscalls:sys_enter_", "")] = fields[0]
    return counts

# perf record of the server's threads: stages (inclusive), shared objects, functions (self).
def profile_server(bench, case, records):
    data, log = bench.work / f"perf-server-{case}.data", bench.work / "perf-record.log"
    bench.prepare(case, records)
    command, environment = bench.program_command(case, records, None)
    with open(log, "wb") as out:
        recorder = subprocess.Popen(["perf", "record", "-F", str(PERF_FREQUENCY), "-g", "-p", str(bench.server_pid),
                                     "-o", data], stdout=out, stderr=out)
        time.sleep(PERF_ATTACH_SECONDS)
        subprocess.run(command, cwd=bench.in_dir, env=environment, capture_output=True)
        recorder.send_signal(signal.SIGINT)
        if recorder.wait() != 0 and (not data.exists() or data.stat().st_size == 0):
            return [f"perf record of the server failed: {(log.read_text(errors='replace').splitlines() or [''])[-1]}",
                    ""]

    def perf_report(sort, children="--no-children"):
        return output_of(["perf", "report", "-i", data, children, "--sort", sort, "-g", "none", "--stdio"])

    # The lines of a listing that are entries, not comments.
    def entries(listing, fields=4):
        return [line for line in listing.splitlines() if not line.startswith("#") and len(line.split()) >= fields]
    per_object = perf_report("dso")
    samples = re.search(r"^# Samples: ([0-9.]*[KM]?)", per_object, re.M)
    total = samples.group(1) if samples and samples.group(1) else "?"
    stages = {}
    for line in entries(perf_report("sym", "--children")):
        stages.setdefault(PERF_CHILDREN_LINE.sub("", line).rstrip(), line.split()[0])
    objects = [line.split() for line in entries(per_object, 2)][:SERVER_OBJECTS_TOP]
    functions = entries(perf_report("dso,sym"))[:SERVER_PROFILE_TOP]
    return [f"perf record of the server's threads during the same import ({total} samples, "
            f"{PERF_FREQUENCY} Hz; a", "stage's share includes everything it calls, so the shares overlap):", "",
            *table("stage | function | share of the server's samples", "llr",
                   [[label, f"`{symbol}`", stages.get(symbol, "-")] for label, symbol in SERVER_STAGES]),
            *table("shared object | share", "lr", [[fields[1], fields[0]] for fields in objects]),
            *table("function (own samples) | object | share", "llr",
                   [[f"`{PERF_SELF_LINE.sub('', line).rstrip()}`", line.split()[1], line.split()[0]]
                    for line in functions])]

# The generated part: the run's conditions, then every table in order.
def generated_report(bench):
    options, size = bench.options, bench.options.size
    loads = sorted(bench.loads)
    lines = [BEGIN_MARKER, "", "## Figures of the last run", "",
             f"`bench/run {size} --repeat {options.repeat}{' --large' if options.large else ''}`, "
             f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, each figure from the fastest of {options.repeat} "
             f"runs (peak memory: the highest of them). Load average of the machine: {bench.load_before} at the start, "
             f"{' '.join(Path('/proc/loadavg').read_text().split()[:3])} at the end; one-minute load average after the "
             f"{len(loads)} measured runs: lowest {loads[0]:.2f}, median {loads[(len(loads) + 1) // 2 - 1]:.2f}, "
             f"highest {loads[-1]:.2f}.", "", *machine_description(bench), "", "### Goals", "",
             *reference_goals_table(bench, size),
             "The windows against one statement per query (the goal they were built for):", "",
             *goals_table(bench, size), *guard_table(bench, size), "### All cases", ""]
    for each in bench.sizes:
        lines += size_table(bench, each)
    lines += ["### Queries and statements", "", *traffic_table(bench, size), "### Window size", "",
              *window_table(bench, size, f"Window size (KELVORA_WINDOW) against throughput, {size} records, seconds "
                            "and records/s:", cases.THROUGHPUT_CASES, cases.THROUGHPUT_WINDOWS),
              *window_table(bench, size, f"Candidates for the default window, {size} records, seconds and records/s:",
                            cases.SWEEP_CASES, cases.CANDIDATE_WINDOWS, totals=True),
              "### Exact path", "", *exact_path_table(bench, size), "### Memory", "", *memory_table(bench)]
    if options.profile:
        lines += ["### Profile", "", *bench.profile]
    return "\n".join(lines + [END_MARKER]) + "\n"

# The watcher against the importer called directly: ms per file of each way, their ratio, flushes per file.
def watch_report(bench):
    size, files = cases.WATCH_RECORDS, cases.WATCH_FILES
    direct = bench.results[("watch:direct", size)]
    loads = sorted(bench.loads)
    compared = bench.options.compare_watcher

    def row(label, key, run):
        return [label, cell(1000 * run.wall / files, "{:.1f}"), cell(1000 * run.slowest / files, "{:.1f}"),
                cell(run.cpu), cell(run.server), f"{bench.sync_counts[key] / files:.1f}"]
    ways = [("watch:watcher", "kelvora-watch --once of this build, delivery to import done (filed in archive/)")]
    if compared:
        ways.append(("watch:compared", f"kelvora-watch --once of {compared}, the same importer"))
    rows = [row("the importer called directly, one process per file in a shell loop", "watch:direct", direct)]
    rows += [row(label, key, bench.results[(key, size)]) for key, label in ways]
    ratios = []
    for key, label in ways:
        ratio = bench.results[(key, size)].wall / direct.wall
        ratios.append(f"{label.split(',')[0]} / the direct loop: **{ratio:.2f}x** (goal: at most {cases.GOAL_WATCH}x; "
                      f"met: {yes_no(ratio <= cases.GOAL_WATCH)}).")
    return [WATCH_BEGIN_MARKER, "", "## Figures of the last run: the watcher", "",
            f"`bench/run{' --watch-only' if bench.options.watch_only else ''} --repeat {bench.options.repeat}"
            f"{' --compare-watcher ' + compared if compared else ''}`, "
            f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}: {files} files of {size} records "
            f"({cases.WATCH_TYPE} ReplaceMode), every way in turn in each of {bench.options.repeat} rounds against "
            f"the same server; each figure from the fastest round. One-minute load average after the rounds: "
            f"lowest {loads[0]:.2f}, highest {loads[-1]:.2f}.", "", *machine_description(bench), "",
            *table("way | ms a file | slowest round, ms a file | client CPU s | server CPU s | fsyncs a file",
                   "lrrrrr", rows),
            *(f"- {line}" for line in ratios), "",
            "The flushes (`fsync`, `fdatasync`) are counted by `strace -f -c` in a pass of their own, the watcher's "
            "together with its importers'.", "",
            WATCH_END_MARKER]

# Replaces the part between begin and end of the results file with text, keeping the rest (a part that
# is not there yet goes at the end); prints it.
def write_part(path, begin, end, text):
    old = path.read_text(encoding="utf-8").splitlines(keepends=True) if path.exists() else []
    if not old:
        old = ["# Kelvora benchmark\n", "\n"]
    if begin + "\n" not in old or end + "\n" not in old:
        old += ["\n", begin + "\n", end + "\n"]
    kept = old[:old.index(begin + "\n")] + [text] + old[old.index(end + "\n") + 1:]
    Path(f"{path}.new").write_text("".join(kept), encoding="utf-8")
    os.replace(f"{path}.new", path)
    print(text, end="")
    print(f"bench: written to {path}", file=sys.stderr)

# The generated part of the results file.
def write_results(bench, path):
    write_part(path, BEGIN_MARKER, END_MARKER, generated_report(bench))

# The watcher's part of the results file.
def write_watch_results(bench, path):
    write_part(path, WATCH_BEGIN_MARKER, WATCH_END_MARKER, "\n".join(watch_report(bench)) + "\n")
