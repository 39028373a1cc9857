#!/usr/bin/env python3
"""Runs ClamAV natively on the peer's file set, then turns the raw samples of
ZorvaneBench.exe into medians with their spread (min–max), checks each goal,
prints the markdown table and writes the same figures as JSON.

  report.py SAMPLES PREFIX BENCH_BUILD JSON_OUT ARCH
"""
import json
import os
import statistics
import subprocess
import sys
import time

REPETITIONS = 15
SERVER_CODE = "108B4C24043948047407 8B401085C075F4C3 56576A1433FFE8B3A7".replace(" ", "")
SERVER_CODE_OFFSET = 1536
ZERO_RUN_OFFSET = 123616
ZERO_RUN_LENGTH = 1000
# Growth counts as linear when the cost per added unit in the second step,
# over that in the first, matches the same quotient for the floor (linear by
# construction, and timed in the same runs) within these bounds. Cost in P²
# would give 2.15 at the process levels used (19, 59, 109 listed), cost in V²
# 11. The floor is the yardstick because on a shared machine the load of
# other work changes between levels and moves both alike: the quotient of
# either alone has ranged from 0.46 to 1.51.
LINEAR_LOW, LINEAR_HIGH = 0.67, 1.5
LINEAR = f"linear like the floor: {LINEAR_LOW}–{LINEAR_HIGH}"
ARCHITECTURES = {"i386": "i386: the shipped 32-bit program, wine32",
                 "x64": "x64: the same sources built as x86_64, wine64"}
# Wine reads CPU times from Linux, in clock ticks of 10 ms.
CPU_TICK_MS = 10


def summary(samples):
    return {"median": statistics.median(samples), "min": min(samples), "max": max(samples),
            "runs": len(samples)}


def show(figure, unit, scale=1.0, digits=1):
    m, lo, hi = (figure[k] * scale for k in ("median", "min", "max"))
    return f"{m:.{digits}f} {unit} ({lo:.{digits}f}–{hi:.{digits}f})"


def slopes(points):
    """Cost per added unit between successive levels, from the medians."""
    return [(c1 - c0) / (x1 - x0) for (x0, c0), (x1, c1) in zip(points, points[1:])]


def unix_path(prefix, windows_path):
    drive, rest = windows_path.split(":", 1)
    if drive.upper() != "C":
        sys.exit(f"unexpected path {windows_path}")
    return os.path.join(prefix, "drive_c", *rest.strip("\\").split("\\"))


# ---- ClamAV ------------------------------------------------------------------

def write_database(folder):
    """One logical signature: the server's code bytes and its zero run, both
    at absolute offsets, both required."""
    database = os.path.join(folder, "zorvane-bench.ldb")
    with open(database, "w") as out:
        out.write(f"Zorvane.Bench.Server;Engine:51-255,Target:0;0&1;"
                  f"{SERVER_CODE_OFFSET}:{SERVER_CODE};"
                  f"{ZERO_RUN_OFFSET}:{'00' * ZERO_RUN_LENGTH}\n")
    return database


def clamscan(database, file_list):
    start = time.perf_counter()
    run = subprocess.run(["clamscan", "--no-summary", "-d", database, "-f", file_list],
                         capture_output=True, text=True)
    elapsed_ms = (time.perf_counter() - start) * 1000
    if run.returncode not in (0, 1):  # 1: something was found
        sys.exit(f"clamscan failed: {run.stderr.strip()}")
    found = {line[:-len(" FOUND")].rsplit(": ", 1)[0]
             for line in run.stdout.splitlines() if line.endswith(" FOUND")}
    return elapsed_ms, found


def measure_clamav(folder, files):
    """Time per file, less the start-up that a run over no file takes."""
    database = write_database(folder)
    full, empty = os.path.join(folder, "peer-files.txt"), os.path.join(folder, "peer-none.txt")
    with open(full, "w") as out:
        out.writelines(f + "\n" for f in files)
    open(empty, "w").close()
    clamscan(database, empty)
    _, found = clamscan(database, full)
    start_up, whole = [], []
    for _ in range(REPETITIONS):
        start_up.append(clamscan(database, empty)[0])
        whole.append(clamscan(database, full)[0])
    base = statistics.median(start_up)
    return [(t - base) / len(files) for t in whole], start_up, found


# ---- The figures ---------------------------------------------------------------

class Report:
    def __init__(self):
        self.rows, self.goals, self.figures = [], [], {}

    def row(self, what, zorvane, other="", ratio="", goal="(reported)", met=None):
        mark = "" if met is None else ("yes" if met else "**no**")
        self.rows.append((what, zorvane, other, ratio, goal, mark))
        if met is not None:
            self.goals.append({"figure": what, "goal": goal, "met": bool(met)})

    def table(self):
        lines = ["| Figure | Zorvane | Floor or peer | Ratio | Goal | Met |",
                 "|---|---|---|---|---|---|"]
        lines += ["| " + " | ".join(r) + " |" for r in self.rows]
        return "\n".join(lines)


def steady_state(report, cycles):
    points = []
    report.figures["cycle"] = []
    for c in sorted(cycles, key=lambda c: c["P"]):
        cycle, floor = summary(c["cycle_ms"]), summary(c["floor_ms"])
        ratio = cycle["median"] / floor["median"]
        report.figures["cycle"].append({"P": c["P"], "processes_listed": c["listed"],
                                        "cycle_ms": cycle, "floor_ms": floor, "ratio": ratio})
        report.row(f"Scan cycle, clean machine, P = {c['P']} ({c['listed']} processes listed)",
                   show(cycle, "ms"), show(floor, "ms"), f"{ratio:.2f}", "≤ 1.2", ratio <= 1.2)
        points.append((c["listed"], cycle["median"], floor["median"]))
    growth_row(report, "Scan cycle growth in P: ms per added process, 10→50 / 50→100",
               "cycle_ms_per_process", points, 1)


def key_scans(report, keys):
    report.figures["keys"] = []
    by_v, by_p = [], []
    for k in sorted(keys, key=lambda k: (k["P"] != 50, k["P"], k["V"])):
        scan, floor = summary(k["scan_ms"]), summary(k["floor_ms"])
        ratio = scan["median"] / floor["median"]
        report.figures["keys"].append({"P": k["P"], "V": k["V"], "processes_listed": k["listed"],
                                       "passes_ms": scan, "floor_ms": floor, "ratio": ratio})
        report.row(f"Two key passes, DLL present, V = {k['V']}, P = {k['P']}",
                   show(scan, "ms", digits=2), show(floor, "ms", digits=2), f"{ratio:.2f}",
                   "≤ 1.3", ratio <= 1.3)
        if k["P"] == 50:
            by_v.append((k["V"], scan["median"], floor["median"]))
        if k["V"] == 600:
            by_p.append((k["listed"], scan["median"], floor["median"]))
    growth_row(report, "Key passes growth in V at P = 50: µs per added value, 0→60 / 60→600",
               "keys_us_per_value_at_P50", by_v, 1000)
    growth_row(report, "Key passes growth in P at V = 600: ms per added process, 10→50 / 50→100",
               "keys_ms_per_process_at_V600", sorted(by_p), 1, checked=False)


def growth_row(report, what, name, points, scale, checked=True):
    """Cost per added unit between the levels, for Zorvane and for the floor,
    and whether Zorvane's grows in the same proportion as the floor's."""
    ours = slopes([(x, c) for x, c, _ in points])
    floor = slopes([(x, f) for x, _, f in points])
    growth = (ours[1] / ours[0]) / (floor[1] / floor[0])
    report.figures[name] = {"zorvane": [scale * s for s in ours],
                            "floor": [scale * s for s in floor], "growth_like_floor": growth}
    digits = 0 if scale > 1 else 2
    report.row(what, " / ".join(f"{scale * s:.{digits}f}" for s in ours),
               " / ".join(f"{scale * s:.{digits}f}" for s in floor), f"{growth:.2f}",
               *((LINEAR, LINEAR_LOW <= growth <= LINEAR_HIGH) if checked else ()))


def content_test(report, content, prefix, folder):
    files = [unix_path(prefix, f) for f in content["files"]]
    ours_found = {unix_path(prefix, f) for f in content["matches"]}
    clam_per_file, clam_start_up, clam_found = measure_clamav(folder, files)
    ours, theirs = summary(content["ms_per_file"]), summary(clam_per_file)
    ratio = theirs["median"] / ours["median"]
    same = ours_found == clam_found
    report.figures["content_test"] = {
        "files": len(files), "zorvane_found": len(ours_found), "clamav_found": len(clam_found),
        "identical_verdicts": same, "zorvane_ms_per_file": ours, "clamav_ms_per_file": theirs,
        "clamav_start_up_ms": summary(clam_start_up), "zorvane_times_faster": ratio}
    report.row(f"Content test per file, {len(files)} files (Zorvane in Wine, ClamAV native)",
               show(ours, "µs", 1000, 0), show(theirs, "µs", 1000, 0) + " ClamAV",
               f"{ratio:.1f}× faster", "≥ 10× faster", ratio >= 10)
    floor = summary(content["read_floor_ms_per_file"])
    report.figures["content_test"]["read_floor_ms_per_file"] = floor
    report.row("Reading 27 bytes of a file under Wine (open, seek, read, close)",
               show(floor, "µs", 1000, 0), "", f"Zorvane {ours['median'] / floor['median']:.2f}×")
    report.row("Content test verdicts", f"{len(ours_found)} of {len(files)} found",
               f"{len(clam_found)} found by ClamAV", "identical" if same else "different",
               "identical", same)


def footprint(report, f, folder, shipped):
    # The size is always the shipped i386 program's, whichever build was run.
    size = os.path.getsize(shipped)
    floor_size = os.path.getsize(os.path.join(folder, "TrayFloor.exe"))
    report.figures["exe_bytes"] = {"Zorvane.exe": size, "TrayFloor.exe": floor_size}
    report.row("Size of Zorvane.exe", f"{size / 1024:.1f} KiB", f"{floor_size / 1024:.1f} KiB",
               f"{size / floor_size:.2f}", "≤ 28 KiB", size <= 28 * 1024)
    fig = {name: summary(v) for name, v in f.items() if isinstance(v, list)}
    fig["sources"] = f["sources"]
    report.figures["footprint"] = fig
    floor_private = fig["private_floor_kib"]
    for moment, key in (("after start", "start"), ("after 10 cycles", "10")):
        ratio = fig[f"private_{key}_kib"]["median"] / floor_private["median"]
        report.row(f"Private bytes {moment}", show(fig[f"private_{key}_kib"], "KiB", digits=0),
                   show(floor_private, "KiB", digits=0), f"{ratio:.2f}", "≤ 1.3", ratio <= 1.3)
    for moment, key in (("after start", "start"), ("after 10 cycles", "10")):
        ratio = fig[f"working_{key}_kib"]["median"] / fig["working_floor_kib"]["median"]
        report.row(f"Working set {moment}", show(fig[f"working_{key}_kib"], "KiB", digits=0),
                   show(fig["working_floor_kib"], "KiB", digits=0), f"{ratio:.2f}")
    for name, unit in (("handles", ""), ("private", " KiB"), ("working", " KiB")):
        suffix = "" if name == "handles" else "_kib"
        first, last = f[f"{name}_1{suffix}"], f[f"{name}_100{suffix}"]
        grown = [b - a for a, b in zip(first, last)]
        fig[f"{name}_growth_1_to_100"] = summary(grown)
        label = {"handles": "Handles", "private": "Private bytes", "working": "Working set"}[name]
        report.row(f"{label}, cycle 1 → cycle 100",
                   f"{statistics.median(first):.0f} → {statistics.median(last):.0f}{unit}, "
                   f"growth {min(grown):+.0f} to {max(grown):+.0f}",
                   f"{statistics.median(f[f'{name}_floor{suffix}']):.0f}{unit} after start", "",
                   "no growth" if name != "working" else "(reported)",
                   max(grown) <= 0 if name != "working" else None)
    report.row("One cycle driven from outside, P = 10", show(fig["outside_cycle_ms"], "ms"))


def start(report, s):
    """From just before the start until a look from outside finds the icon;
    the looks that miss fall look_spacing_ms apart on average."""
    z, fl = summary(s["zorvane_ms"]), summary(s["floor_ms"])
    ratio = z["median"] / fl["median"]
    report.figures["start_until_icon_ms"] = {
        "zorvane": z, "floor": fl, "ratio": ratio,
        "look_spacing_ms": summary(s["look_spacing_ms"])}
    report.row("Start until the icon is in the notification area", show(z, "ms"),
               show(fl, "ms"), f"{ratio:.2f}", "≤ 1.2", ratio <= 1.2)


def idle(report, i, tick):
    """Wine charges CPU time in whole clock ticks, to whichever process runs
    when one falls; so the copies are told apart by their median and their
    mean, each to within one tick."""
    z, fl = summary(i["zorvane_cpu_ms"]), summary(i["floor_cpu_ms"])
    z["mean"] = statistics.mean(i["zorvane_cpu_ms"])
    fl["mean"] = statistics.mean(i["floor_cpu_ms"])
    report.figures["idle_cpu_ms"] = {"seconds": i["seconds"], "zorvane": z, "floor": fl,
                                     "sources": i["sources"]}
    alike = (abs(z["median"] - fl["median"]) < CPU_TICK_MS and
             abs(z["mean"] - fl["mean"]) < CPU_TICK_MS)
    report.row(f"CPU time in {i['seconds']} s idle, enhanced scanning off, 7 copies side by side",
               show(z, "ms", digits=0) + f", mean {z['mean']:.1f}",
               show(fl, "ms", digits=0) + f", mean {fl['mean']:.1f}", "",
               f"indistinguishable: median and mean within one {CPU_TICK_MS} ms tick", alike)
    zs, fs = summary(i["zorvane_startup_cpu_ms"]), summary(i["floor_startup_cpu_ms"])
    report.figures["startup_cpu_ms"] = {"zorvane": zs, "floor": fs}
    report.row("CPU time from start until settled (not counted as idle)",
               show(zs, "ms", digits=0), show(fs, "ms", digits=0))
    cycle = summary(tick["cycle_ms"])
    report.figures["idle_tick_ms"] = cycle
    report.row("One idle tick in-process (looks for the DLL), twice a minute",
               show(cycle, "ms", digits=2))


def main():
    samples, prefix, folder, json_out, arch, shipped = sys.argv[1:7]
    by_kind = {}
    for line in open(samples):
        if line.startswith("{"):
            record = json.loads(line)
            by_kind.setdefault(record["kind"], []).append(record)
    report = Report()
    report.row("Architecture measured", ARCHITECTURES.get(arch, arch), "the same")
    steady_state(report, by_kind["cycle"])
    key_scans(report, by_kind["keys"])
    content_test(report, by_kind["content"][0], prefix, folder)
    footprint(report, by_kind["footprint"][0], folder, shipped)
    start(report, by_kind["start"][0])
    idle(report, by_kind["idle"][0], by_kind["idle_cycle"][0])

    print(report.table())
    missed = [g["figure"] for g in report.goals if not g["met"]]
    print()
    print("All goals met." if not missed else "Goals missed: " + "; ".join(missed))
    sources = by_kind["footprint"][0]["sources"]
    sources["cpu"] = by_kind["idle"][0]["sources"]["cpu"]
    print("Read from outside: " + "; ".join(f"{k}: {v}" for k, v in sources.items()))
    with open(json_out, "w") as out:
        json.dump({"platform": "Wine on a shared 2-core machine", "architecture": arch,
                   "spread": "min–max of the runs; the figure is their median",
                   "figures": report.figures, "goals": report.goals,
                   "table": report.table()}, out, indent=2, ensure_ascii=False)


if __name__ == "__main__":
    main()
