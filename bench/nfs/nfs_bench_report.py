#!/usr/bin/env python3
"""Report of bench/nfs_bench.sh: medians over runs, ratios to Ganesha, targets.

Reads the raw lines the script collects:
    fig RUN SERVER NAME VALUE UNIT     a figure nfs_bench printed
    cpu RUN SERVER NAME MS             the server's CPU time over one nfs_bench call
    load RUN TEXT...                   uptime at the start of a run
and prints a table of the figures, then one machine-readable line per figure:
    RESULT name=.. unit=.. quayd=.. ganesha=.. ratio=.. target=.. met=yes|no|- runs=..
then the servers' CPU time per workload, less disturbed than wall time by
other work on a shared machine, with one line each:
    CPU name=.. unit=ms quayd=.. ganesha=.. ratio=.. runs=..
ratio is quayd / Ganesha, the median of the per-run ratios (both servers ran
in the same run, so a run's ratio cancels the machine's load at that time).
"""
import collections
import re
import statistics
import sys

# Targets as ratios to Ganesha in the same run (or, for the create-rate
# growth, quayd's own rate at the end of the store against its start).
TARGETS = [
    (r"small_files_1_client$", "ratio", ">=", 1.3),
    (r"small_files_\d+_clients$", "ratio", ">=", 1.5),
    (r"list_per_entry_\d+$", "ratio", "<=", 0.8),
    (r"create_\w+_last_vs_first$", "quayd", ">=", 0.9),
    (r"stat_by_path$", "ratio", "<=", 1.0),
    (r"getattr$", "ratio", "<=", 1.0),
    (r"write_\d+_streams?$", "ratio", ">=", 1.5),
    (r"read_\d+_streams?$", "ratio", ">=", 1.1),
]


class Table:
    """name -> run -> server -> value, with the names in the order first seen."""

    def __init__(self):
        self.values = collections.defaultdict(lambda: collections.defaultdict(dict))
        self.units = {}
        self.order = []

    def add(self, run, server, name, value, unit):
        self.values[name][run][server] = value
        self.units[name] = unit
        if name not in self.order:
            self.order.append(name)

    def add_growth(self):
        """create_X_last_vs_first: each server's value at the end of the store over the one at its start."""
        for name in list(self.order):
            match = re.fullmatch(r"create_(\w+)_last", name)
            first = self.values.get("create_%s_first" % match.group(1)) if match else None
            if not first:
                continue
            growth = "create_%s_last_vs_first" % match.group(1)
            for run, servers in self.values[name].items():
                for server, last in servers.items():
                    if first.get(run, {}).get(server):
                        self.values[growth][run][server] = last / first[run][server]
            self.units[growth] = "x"
            self.order.insert(self.order.index(name) + 1, growth)


def read_raw(path):
    figures, cpu, loads = Table(), Table(), []
    with open(path) as raw:
        for line in raw:
            fields = line.split()
            if fields and fields[0] == "load":
                loads.append(" ".join(fields[1:]))
            elif len(fields) == 6 and fields[0] == "fig":
                figures.add(fields[1], fields[2], fields[3], float(fields[4]), fields[5])
            elif len(fields) == 5 and fields[0] == "cpu":
                cpu.add(fields[1], fields[2], fields[3], float(fields[4]), "ms")
    return figures, cpu, loads


def median(values):
    return statistics.median(values) if values else None


def summarize(runs):
    """Medians of quayd, Ganesha and of the per-run ratios."""
    quayd = [r["quayd"] for r in runs.values() if "quayd" in r]
    ganesha = [r["ganesha"] for r in runs.values() if "ganesha" in r]
    ratios = [r["quayd"] / r["ganesha"] for r in runs.values() if r.get("quayd") and r.get("ganesha")]
    return median(quayd), median(ganesha), median(ratios), len(quayd)


def judge(name, quayd, ratio):
    for pattern, subject, op, bound in TARGETS:
        if re.fullmatch(pattern, name):
            value = ratio if subject == "ratio" else quayd
            target = "%s%s%g" % (subject, op, bound)
            if value is None:
                return target, "-"
            met = value >= bound if op == ">=" else value <= bound
            return target, "yes" if met else "no"
    return "-", "-"


def text(value, digits=1):
    return "-" if value is None else "%.*f" % (digits, value)


ROW = "%-28s %-8s %12s %12s %8s %-14s %s"


def report(table, tag, with_targets):
    lines = []
    print(ROW % ("figure" if with_targets else "server CPU", "unit", "quayd", "ganesha", "ratio",
                 "target" if with_targets else "", "met" if with_targets else ""))
    for name in table.order:
        quayd, ganesha, ratio, runs = summarize(table.values[name])
        target, met = judge(name, quayd, ratio) if with_targets else ("", "")
        unit = table.units[name]
        digits = 3 if unit == "x" else 1
        print(ROW % (name, unit, text(quayd, digits), text(ganesha, digits), text(ratio, 2), target, met))
        extra = " target=%s met=%s" % (target, met) if with_targets else ""
        lines.append("%s name=%s unit=%s quayd=%s ganesha=%s ratio=%s%s runs=%d" % (
            tag, name, unit, text(quayd, 3), text(ganesha, 3), text(ratio, 3), extra, runs))
    return lines


def main():
    figures, cpu, loads = read_raw(sys.argv[1])
    figures.add_growth()
    cpu.add_growth()
    for load in loads:
        print("load: " + load)
    results = report(figures, "RESULT", True)
    print()
    cpu_lines = report(cpu, "CPU", False)
    print("\n".join(results + cpu_lines))


if __name__ == "__main__":
    main()
