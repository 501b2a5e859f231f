"""Where the time of a case goes, for the profile section of bench/run: the
split without a profiler, the client's instructions (callgrind), its context
switches and socket calls (perf stat) and the server's samples (perf record)."""
import re
import shutil
import signal
import subprocess
import sys
import time

from cases import CASES, PROFILE_CASES

PROFILE_TOP = 15
SERVER_PROFILE_TOP = 12
SERVER_OBJECTS_TOP = 5
PERF_FREQUENCY = 4000
# perf needs a moment to attach to every thread of the server.
PERF_ATTACH_SECONDS = 1
# The events counted in the client and the server during an import: the
# socket calls, and the context switches they cause.
SYSCALL_EVENTS = ("syscalls:sys_enter_sendto", "syscalls:sys_enter_recvfrom", "syscalls:sys_enter_poll")
# The stages of a statement in the server, as functions whose samples
# include everything they call: label and function name.
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
    ("InnoDB's background threads", "tpool::thread_pool_generic::worker_main"),
)
CALLGRIND_FUNCTION = re.compile(r"^ *([0-9][0-9,]*) \( *[0-9.]+%\)  (.*)$")
CALLGRIND_OBJECT = re.compile(r" \[([^]]*)\]$")
PERF_SAMPLES = re.compile(r"^# Samples: ([0-9.]*[KM]?)")


# The profile of every profiled case at records records, as report lines.
def profile(bench, records):
    bench.generate_data(records)
    lines = []
    for case in PROFILE_CASES:
        lines += profile_case(bench, case, records)
    return lines


# One case with the default window: the time split, then each profiler on a
# run of its own from the case's starting state.
def profile_case(bench, case, records):
    print(f"bench: profiling {case} on {records} records", file=sys.stderr)
    bench.prepare(case, records)
    command, environment = bench.program_command(case, records, None)
    run = bench.measure(command, bench.in_dir, environment=environment)[0]
    lines = [f"#### {CASES[case].label}, {records} records, default window", "",
             f"Time split, no profiler attached: wall {run.wall:.3f} s; client user {bench.user} s, "
             f"client system {bench.system} s;", f"server CPU {run.server:.2f} s (all its threads).", ""]
    bench.ensure_tool("valgrind", "valgrind")
    if shutil.which("callgrind_annotate"):
        bench.prepare(case, records)
        command, environment = bench.program_command(case, records, None)
        out = bench.work / f"callgrind-{case}.out"
        with open(bench.work / "callgrind.log", "wb") as log:
            subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *command],
                           cwd=bench.in_dir, env=environment, stdout=log, stderr=log, check=True)
        listing = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", out],
                                 capture_output=True, check=True).stdout.decode(errors="replace")
        lines += summarise_callgrind(listing, records)
    else:
        lines.append("callgrind: not available on this machine.")
    if shutil.which("perf") and subprocess.run(["perf", "stat", "-e", "task-clock", "true"],
                                               capture_output=True).returncode == 0:
        lines += count_system_calls(bench, case, records)
        lines += profile_server(bench, case, records)
    else:
        lines += ["perf: not available on this machine.", ""]
    return lines


# The function lines of a callgrind_annotate listing, most expensive first:
# instructions, object file name and function.
def callgrind_functions(listing):
    functions = []
    for line in listing.splitlines():
        found = CALLGRIND_FUNCTION.match(line)
        if not found or "PROGRAM TOTALS" in line:
            continue
        name, in_object = found.group(2), CALLGRIND_OBJECT.search(found.group(2))
        # Code inlined from another file is listed without its object.
        objectname = in_object.group(1).rsplit("/", 1)[-1] if in_object else "(inlined, object not named)"
        name = re.sub(r"^[^:]*:", "", CALLGRIND_OBJECT.sub("", name), count=1)
        functions.append((int(found.group(1).replace(",", "")), objectname, name))
    return functions


# Instructions per shared object (those below half a percent in one line)
# and the functions with the most of them (self cost).
def summarise_callgrind(listing, records):
    total = next(int(line.split()[0].replace(",", "")) for line in listing.splitlines() if "PROGRAM TOTALS" in line)
    functions = callgrind_functions(listing)
    per_object = {}
    for instructions, objectname, _ in functions:
        per_object[objectname] = per_object.get(objectname, 0) + instructions
    lines = ["callgrind (instructions of the client process only; the kernel and the server are not in it):",
             f"{total} instructions in all, {total / records:.0f} per record.", "",
             "| shared object | instructions | share |", "|---|---:|---:|"]
    rest = 0
    for objectname, instructions in sorted(per_object.items(), key=lambda item: -item[1]):
        if instructions >= total / 200:
            lines.append(f"| {objectname} | {instructions} | {100 * instructions / total:.1f}% |")
        else:
            rest += instructions
    lines += [f"| everything else | {rest} | {100 * rest / total:.1f}% |", "",
              "| function (self cost) | object | instructions | per record | share |", "|---|---|---:|---:|---:|"]
    lines += [f"| `{name}` | {objectname} | {instructions} | {instructions / records:.0f} | "
              f"{100 * instructions / total:.1f}% |" for instructions, objectname, name in functions[:PROFILE_TOP]]
    return lines + [""]


# perf stat's counts (CSV, -x,) by event, as it names them, without the
# prefix of the socket calls.
def perf_counts(path):
    counts = {}
    for line in open(path, errors="replace"):
        fields = line.rstrip("\n").split(",")
        if not line.startswith("#") and len(fields) >= 3:
            counts[fields[2].replace("syscalls:sys_enter_", "")] = fields[0]
    return counts


# Counts, with perf stat, the client's and the server's CPU time, context
# switches and socket calls during one import, as a table.
def count_system_calls(bench, case, records):
    events = "task-clock,context-switches"
    if subprocess.run(["perf", "stat", "-e", SYSCALL_EVENTS[0], "true"], capture_output=True).returncode == 0:
        events += "," + ",".join(SYSCALL_EVENTS)
    bench.prepare(case, records)
    command, environment = bench.program_command(case, records, None)
    client_file, server_file = bench.work / "perf-stat-client.txt", bench.work / "perf-stat-server.txt"
    counter = subprocess.Popen(["perf", "stat", "-x,", "-e", events, "-p", str(bench.server_pid), "-o", server_file],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(PERF_ATTACH_SECONDS)
    subprocess.run(["perf", "stat", "-x,", "-e", events, "-o", client_file, *command], cwd=bench.in_dir,
                   env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    counter.send_signal(signal.SIGINT)
    counter.wait()
    processes = (("client", perf_counts(client_file)), ("server (all threads)", perf_counts(server_file)))
    order = list(dict.fromkeys([*processes[0][1], *processes[1][1]]))
    lines = ["perf stat of the same import, no other profiler (the server's counts are all its threads, from one",
             "second before the import to its end):", "",
             "| process |" + "".join(f" {event}{' ms' if event == 'task-clock' else ''} |" for event in order),
             "|---|" + "---:|" * len(order)]
    for process, counts in processes:
        cells = ""
        for event in order:
            value = counts.get(event, "")
            if value == "" or "not" in value:
                cells += " - |"
            elif event == "task-clock":
                cells += f" {float(value):.0f} |"
            else:
                cells += f" {int(float(value))} ({float(value) / records:.2f} per record) |"
        lines.append(f"| {process} |{cells}")
    return lines + [""]


# Samples the server's threads while the program runs unprofiled, and
# gives the shares of the stages of a statement (inclusive), of the shared
# objects, and the functions with the most samples of their own.
def profile_server(bench, case, records):
    data = bench.work / f"perf-server-{case}.data"
    bench.prepare(case, records)
    command, environment = bench.program_command(case, records, None)
    log = bench.work / "perf-record.log"
    with open(log, "wb") as out:
        recorder = subprocess.Popen(["perf", "record", "-F", str(PERF_FREQUENCY), "-g", "-p", str(bench.server_pid),
                                     "-o", data], stdout=out, stderr=out)
        time.sleep(PERF_ATTACH_SECONDS)
        subprocess.run(command, cwd=bench.in_dir, env=environment, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        recorder.send_signal(signal.SIGINT)
        failed = recorder.wait() != 0
    if failed and (not data.exists() or data.stat().st_size == 0):
        last = (log.read_text(errors="replace").splitlines() or [""])[-1]
        return [f"perf record of the server failed: {last}", ""]

    def report(*sorting):
        return subprocess.run(["perf", "report", "-i", data, *sorting, "-g", "none", "--stdio"], capture_output=True
                              ).stdout.decode(errors="replace").splitlines()
    children = report("--children", "--sort", "sym")
    objects = report("--no-children", "--sort", "dso")
    functions = report("--no-children", "--sort", "dso,sym")
    total = "?"
    for line in objects:
        found = PERF_SAMPLES.match(line)
        if found:
            total = found.group(1) or "?"
            break
    lines = [f"perf record of the server's threads during the same import ({total} samples, {PERF_FREQUENCY} Hz; a",
             "stage's share includes everything it calls, so the shares overlap):", "",
             "| stage | function | share of the server's samples |", "|---|---|---:|"]
    for label, symbol in SERVER_STAGES:
        share = next((line.split()[0] for line in children if not line.startswith("#") and len(line.split()) >= 4
                      and re.sub(r"^ *[0-9.]+% +[0-9.]+% +\[[^]]*\] +", "", line).rstrip() == symbol), "-")
        lines.append(f"| {label} | `{symbol}` | {share} |")
    lines += ["", "| shared object | share |", "|---|---:|"]
    shown = [line.split() for line in objects if not line.startswith("#") and len(line.split()) >= 2]
    lines += [f"| {fields[1]} | {fields[0]} |" for fields in shown[:SERVER_OBJECTS_TOP]]
    lines += ["", "| function (own samples) | object | share |", "|---|---|---:|"]
    shown = [line for line in functions if not line.startswith("#") and len(line.split()) >= 4]
    for line in shown[:SERVER_PROFILE_TOP]:
        name = re.sub(r"^ *[0-9.]+% +[^ ]+ +\[[^]]*\] +", "", line).rstrip()
        lines.append(f"| `{name}` | {line.split()[1]} | {line.split()[0]} |")
    return lines + [""]
