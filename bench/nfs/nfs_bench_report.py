#!/usr/bin/env python3
"""Report of bench/nfs_bench.sh: medians over runs, ratios to Ganesha, targets.

Reads the raw lines the script collects:
    fig RUN SERVER NAME VALUE UNIT
    load RUN TEXT...
and prints a table, then one machine-readable line per figure:
    RESULT name=.. unit=.. quayd=.. ganesha=.. ratio=.. target=.. met=yes|no|- runs=..
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


def read_raw(path):
    """{figure: {run: {server: value}}}, {figure: unit}, figure order, loads."""
    figures = collections.defaultdict(lambda: collections.defaultdict(dict))
    units, order, loads = {}, [], []
    with open(path) as raw:
        for line in raw:
            fields = line.split()
            if not fields:
                continue
            if fields[0] == "load":
                loads.append(" ".join(fields[1:]))
            elif fields[0] == "fig" and len(fields) == 6:
                _, run, server, name, value, unit = fields
                figures[name][run][server] = float(value)
                units[name] = unit
                if name not in order:
                    order.append(name)
    return figures, units, order, loads


def add_growth(figures, units, order):
    """create_X_last_vs_first: each server's rate at the end of the store over its rate at the start."""
    for name in list(order):
        match = re.fullmatch(r"create_(\w+)_last", name)
        first = figures.get("create_%s_first" % match.group(1)) if match else None
        if not first:
            continue
        growth = "create_%s_last_vs_first" % match.group(1)
        for run, servers in figures[name].items():
            for server, last in servers.items():
                if first.get(run, {}).get(server):
                    figures[growth][run][server] = last / first[run][server]
        units[growth] = "x"
        order.insert(order.index(name) + 1, growth)


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


def main():
    figures, units, order, loads = read_raw(sys.argv[1])
    add_growth(figures, units, order)
    for load in loads:
        print("load: " + load)
    print("%-28s %-8s %12s %12s %8s %-14s %s" % ("figure", "unit", "quayd", "ganesha", "ratio", "target", "met"))
    results = []
    for name in order:
        quayd, ganesha, ratio, runs = summarize(figures[name])
        target, met = judge(name, quayd, ratio)
        digits = 3 if units[name] == "x" else 1
        print("%-28s %-8s %12s %12s %8s %-14s %s" % (name, units[name], text(quayd, digits), text(ganesha, digits),
                                                     text(ratio, 2), target, met))
        results.append("RESULT name=%s unit=%s quayd=%s ganesha=%s ratio=%s target=%s met=%s runs=%d" % (
            name, units[name], text(quayd, 3), text(ganesha, 3), text(ratio, 3), target, met, runs))
    print("\n".join(results))


if __name__ == "__main__":
    main()
