#!/usr/bin/env python3
"""Runs every benchmark of the build and prints one table: each figure, the
baseline measured in the same run, their ratio and the target.

    tools/bench/run-benchmarks.py [BUILD_DIR]      (default build/default)

Rows of a benchmark named "qt-public:NAME" come from the build of the
qt-public preset beside BUILD_DIR (KELTO_QT_PRIVATE=OFF), n/a where it was
not built: cmake --preset qt-public && cmake --build --preset qt-public
--target bench_monitor_refresh.
"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile

# (benchmark program, figure, baseline, value, what is compared, target, check)
#   value: which number of a benchmark row to take ("real_time", "cpu_time"
#   or a counter name), or a pair (figure's, baseline's); check(figure, baseline) -> True when the target is met,
#   None when the row has no target.
ROWS = [
    ("hextobin", "BM_Hex2BinProcess", "BM_ObjcopyProcess", "real_time",
     "HEX to binary, whole process, 41 MB file (ms) vs objcopy",
     "ratio <= 0.5 (2x objcopy)", lambda f, b: f / b <= 0.5),
    ("usb_roundtrip", "BM_PageRoundTrip/0", "BM_MemcpyMemcmp", "cpu_time",
     "2048-byte page write + read-back + compare, debug off (ns CPU) vs memcpy+memcmp",
     "none", None),
    ("usb_roundtrip", "BM_PageRoundTrip/1", "BM_MemcpyMemcmp", "cpu_time",
     "page round trip, debug lines formatted (ns CPU) vs memcpy+memcmp", "none", None),
    ("monitor_refresh", "RefreshFew", "SetHtml/few", "real_time",
     "ballast refresh, few cells changed (ms) vs setHtml of the page",
     "<= 10 ms", lambda f, b: f <= 10.0),
    ("monitor_refresh", "RefreshAll", "SetHtml/all", "real_time",
     "ballast refresh, every value changed, digit counts kept (ms) vs setHtml of the page",
     "<= 10 ms", lambda f, b: f <= 10.0),
    ("qt-public:monitor_refresh", "RefreshFew", "SetHtml/few", "real_time",
     "the same, few cells, Qt's public API only (qt-public build) (ms) vs setHtml",
     "<= 10 ms", lambda f, b: f <= 10.0),
    ("qt-public:monitor_refresh", "RefreshAll", "SetHtml/all", "real_time",
     "the same, every value, Qt's public API only (qt-public build) (ms) vs setHtml",
     "<= 10 ms", lambda f, b: f <= 10.0),
    ("monitor_refresh", "RefreshAllNew", "SetHtml/all", "real_time",
     "the same, every value one the cells have not shown before (ms) vs setHtml of the page",
     "none", None),
    ("monitor_refresh", "RefreshWider", "SetHtml/wider", "real_time",
     "ballast refresh, a value gains a digit so the tables move (ms) vs setHtml of the page",
     "none (the page is laid out anew)", None),
    ("monitor_refresh", "RefreshFewNoPaint", "SetHtmlNoPaint/few", "real_time",
     "the same, few cells, repaint left out (ms) vs setHtml without repaint", "none", None),
    ("monitor_refresh", "RefreshAllNoPaint", "SetHtmlNoPaint/all", "real_time",
     "the same, all cells, repaint left out (ms) vs setHtml without repaint", "none", None),
    ("monitor_refresh", "Repaint", "SetHtml/all", "real_time",
     "repainting the whole ballast view once, nothing changed (ms) vs setHtml", "none", None),
    ("monitor_refresh", "RefreshSame", "SetHtml/few", "real_time",
     "ballast refresh, unchanged snapshot (ms) vs setHtml of the page", "none", None),
    ("upgrade", "Realistic", "ModelMinimum", ("real_time", "minimum_ms"),
     "upgrade wall time, realistic device timing (ms) vs the model's minimum",
     "ratio <= 1.02", lambda f, b: f / b <= 1.02),
    ("upgrade", "ZeroLatency", "ReadAndDecode", "real_time",
     "host overhead of a full upgrade, zero-latency device (ms) vs reading and decoding the file",
     "none", None),
    ("upgrade", "Realistic", "Realistic", ("real_time", "device_min_ms"),
     "upgrade, the window's written waits, realistic (ms) vs the device's own minimum",
     "none (the baseline of the next row)", None),
    ("upgrade", "CliRealistic", "CliRealistic", ("real_time", "device_min_ms"),
     "kelto-cli upgrade, waits polled, new firmware, realistic (ms) vs the device's own minimum",
     "ratio <= 1.05", lambda f, b: f / b <= 1.05),
    ("upgrade", "SkipUnchanged", "CliRealistic", "real_time",
     "upgrade --skip-unchanged, the firmware the unit holds (ms) vs a full kelto-cli upgrade",
     "ratio <= 0.35", lambda f, b: f / b <= 0.35),
    ("upgrade", "SkipOnePage", "CliRealistic", "page_writes",
     "upgrade --skip-unchanged, one application page different: page writes vs a full upgrade's",
     "<= 3, new firmware in place", lambda f, b: f <= 3),
    ("upgrade", "UsbfsCli", "CliRealistic", ("full_ms", "device_min_ms"),
     "kelto-cli upgrade itself under the test bed, realistic (ms) vs the device's own minimum",
     "ratio <= 1.05", lambda f, b: f / b <= 1.05),
    ("upgrade", "UsbfsCli", "UsbfsCli", ("skip_ms", "full_ms"),
     "the same, then --skip-unchanged of that file (ms) vs the upgrade before it",
     "ratio <= 0.35", lambda f, b: f / b <= 0.35),
    ("upgrade", "UsbfsRealistic", "ModelMinimum", ("real_time", "minimum_ms"),
     "upgrade duration, the Upgrader + system libusb-0.1 over usbfs, realistic (ms) vs model minimum",
     "ratio <= 1.03", lambda f, b: f / b <= 1.03),
    ("upgrade", "UsbfsZeroLatency", "ZeroLatency", ("host_ms", "real_time"),
     "host cost of an upgrade over usbfs, zero latency, fixed waits off (ms) vs in process",
     "none", None),
    ("upgrade", "UsbfsParallelPages/8", "UsbfsParallelPages/1", "real_time",
     "8 converters programming 24 pages at once over usbfs, realistic (ms) vs one converter",
     "none", None),
    ("upgrade", "UsbfsParallelPages/16", "UsbfsParallelPages/1", "real_time",
     "16 converters programming 24 pages at once over usbfs, realistic (ms) vs one converter",
     "none", None),
    ("upgrade_all", "All/8", "One", "real_time",
     "upgrade --all, 8 converters, realistic timing, test bed (ms) vs upgrade of one",
     "ratio <= 1.15", lambda f, b: f / b <= 1.15),
    ("upgrade_all", "All/16", "One", "real_time",
     "upgrade --all, 16 converters, realistic timing, test bed (ms) vs upgrade of one",
     "none", None),
    ("history", "Parallel/0", "Serial/0", "entries_per_s",
     "history: 16 processes x 200 entries at once, SQLite (entries/s) vs one process",
     "none", None),
    ("history", "Parallel/0", "Serial/0", ("lost_and_errors", "entries_per_s"),
     "the same: entries lost + lock errors (count) vs one process's entries/s",
     "0", lambda f, b: f == 0),
    ("history", "Parallel/1", "Serial/1", "entries_per_s",
     "history: 16 processes x 200 entries at once, PostgreSQL (entries/s) vs one process",
     "none", None),
    ("history", "Parallel/1", "Serial/1", ("lost_and_errors", "entries_per_s"),
     "the same: entries lost + lock errors (count) vs one process's entries/s",
     "0", lambda f, b: f == 0),
    ("history", "UpgradeCost/0", "UpgradeModel", "real_time",
     "history's work in one upgrade, SQLite (ms) vs the upgrade's model minimum",
     "ratio < 0.01", lambda f, b: f / b < 0.01),
    ("history", "UpgradeCost/1", "UpgradeModel", "real_time",
     "history's work in one upgrade, PostgreSQL (ms) vs the upgrade's model minimum",
     "ratio < 0.01", lambda f, b: f / b < 0.01),
    ("upgrade_gui", "UpgradePolling", "Idle", "p99_ms",
     "GUI event-loop latency p99 during upgrade + polling (ms) vs idle window",
     "p99 < 16 ms", lambda f, b: f < 16.0),
]


def run(program: pathlib.Path) -> dict:
    # A benchmark that hangs or fails leaves its rows "n/a" instead of
    # taking the whole table with it.
    # The results go to a file: some programs print their own lines too.
    with tempfile.TemporaryDirectory() as tmp:
        result = pathlib.Path(tmp) / "result.json"
        try:
            subprocess.run([str(program), f"--benchmark_out={result}",
                            "--benchmark_out_format=json"], check=True,
                           capture_output=True, text=True, timeout=TIMEOUT_S,
                           env={**os.environ, "QT_QPA_PLATFORM": "offscreen",
                                # The upgrades' history entries stay here.
                                "XDG_STATE_HOME": tmp, "KELTO_HISTORY": ""})
            data = json.loads(result.read_text())
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired,
                OSError, ValueError) as e:
            print(f"{program.name} failed: {e}", file=sys.stderr)
            return {}
    rows = {}
    for b in data["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            rows[plain_name(b["name"])] = b
    return rows


def plain_name(name: str) -> str:
    """The benchmark's name without the options Google Benchmark appends."""
    options = ("real_time", "process_time", "manual_time", "min_time:", "iterations:",
               "repeats:")
    return "/".join(p for p in name.split("/") if not p.startswith(options))


TIMEOUT_S = int(os.environ.get("KELTO_BENCH_TIMEOUT", "600"))


def value(row: dict, key: str) -> float:
    return float(row[key] if key in row else row.get("counters", {})[key])


def main() -> int:
    build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/default")
    results = {}
    # KELTO_BENCH_ONLY=monitor_refresh runs only the programs of that name.
    only = os.environ.get("KELTO_BENCH_ONLY", "")
    rows_run = [r for r in ROWS if only in r[0]]
    for name in sorted({r[0] for r in rows_run}):
        # "preset:name" is a benchmark of the build of that preset beside
        # this one (build/qt-public beside build/default).
        preset, _, bench = name.rpartition(":")
        folder = build.parent / preset if preset else build
        program = folder / "bench" / bench / f"bench_{bench}"
        if not program.exists():
            print(f"missing benchmark program {program}", file=sys.stderr)
            continue
        print(f"running {program} ...", file=sys.stderr, flush=True)
        results[name] = run(program)

    print(f"{'figure':<82} {'value':>10} {'baseline':>10} {'ratio':>8}  target")
    missed = 0
    for prog, fig, base, key, what, target, check in rows_run:
        rows = results.get(prog, {})
        if fig not in rows or base not in rows:
            print(f"{what:<82} {'n/a':>10}")
            missed += 1
            continue
        fkey, bkey = key if isinstance(key, tuple) else (key, key)
        f, b = value(rows[fig], fkey), value(rows[base], bkey)
        verdict = "" if check is None else ("met" if check(f, b) else "MISSED")
        missed += verdict == "MISSED"
        print(f"{what:<82} {f:>10.3f} {b:>10.3f} {f / b:>8.3f}  {target} {verdict}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
