#!/usr/bin/env python3
"""Runs the Korvex benchmark programs, merges their Google Benchmark results into one
results.json and prints (and writes) a short table of the headline figures next to the
naive way of doing the same work and the goals.

usage: run_suite.py --bin BUILD/bin --out DIR name_bench [name_bench ...]
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def run(bin_dir, out_dir, name):
    path = os.path.join(bin_dir, name)
    if not os.access(path, os.X_OK):
        print(f"-- {name}: not built, skipped")
        return None
    result = os.path.join(out_dir, name + ".json")
    # Anything that starts the library or the simulator gets folders of its own.
    with tempfile.TemporaryDirectory(prefix="korvex-bench-") as private:
        env = dict(os.environ,
                   KORVEX_DOCUMENTS_DIR=os.path.join(private, "documents"),
                   KORVEX_RUNTIME_DIR=os.path.join(private, "runtime"))
        env.pop("KORVEX_PORT", None)
        started = time.monotonic()
        print(f"-- {name}", flush=True)
        proc = subprocess.run([path, f"--benchmark_out={result}", "--benchmark_out_format=json"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        lines = [l for l in proc.stdout.splitlines()
                 if l.startswith(("BM_", "---", "Benchmark")) or "ERROR" in l]
        print("\n".join(lines))
        print(f"   ({time.monotonic() - started:.0f} s, exit {proc.returncode})", flush=True)
    try:
        with open(result) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def find(results, program, bench):
    for b in (results.get(program) or {}).get("benchmarks", []):
        if b.get("name", "").split("/")[0] == bench and not b.get("error_occurred"):
            return b
    return None


def seconds(b, which="cpu_time"):
    return b[which] * UNIT[b.get("time_unit", "ns")] if b else None


def figures(results):
    """(label, ours, naive, unit, goal text, met) rows; values None when not measured."""
    rows = []

    def counter(program, bench, key):
        b = find(results, program, bench)
        return b.get(key) if b else None

    def row(label, ours, naive, unit, goal, met_fn, scale=1.0):
        o = None if ours is None else ours * scale
        n = None if naive is None else naive * scale
        met = None if o is None or met_fn is None else met_fn(o)
        rows.append({"figure": label, "ours": o, "naive": n, "unit": unit, "goal": goal,
                     "met": met})

    for axes, limit in (("OneAxis", 16), ("ThreeAxis", 32)):
        row(f"bytes per stored {axes.replace('Axis', '-axis').lower()} sample",
            counter("sensors_bench", f"BM_StoredBytesPerSample_{axes}", "bytes_per_sample"),
            counter("sensors_bench", f"BM_NaiveBytesPerSample_{axes}", "bytes_per_sample"),
            "B", f"<= {limit}", lambda v, l=limit: v <= l)
    row("decode + store, one-axis 4800 Hz blocks",
        counter("sensors_bench", "BM_DecodeOneAxis4800Hz", "items_per_second"), None,
        "M samples/s", ">= 20", lambda v: v >= 20, 1e-6)
    row("append 10 M decoded samples",
        counter("naive_bench", "BM_StoreTenMillion", "items_per_second"),
        counter("naive_bench", "BM_NaiveStoreTenMillion", "items_per_second"),
        "M samples/s", "", None, 1e-6)
    queries = [("whole hour of 4800 Hz resampled to 1 Hz", "BM_WholeHourAt1Hz", "BM_NaiveWholeHourAt1Hz", "ms", 1e3, "<= 10", 10),
               ("last 10 s resampled to 1000 Hz", "BM_Last10SecondsAt1000Hz", "BM_NaiveLast10SecondsAt1000Hz", "ms", 1e3, "<= 1", 1),
               ("last sample", "BM_LastSample", "BM_NaiveLastSample", "us", 1e6, "<= 10", 10),
               ("one minute of two sensors", "BM_TwoSensorsOneMinute", "BM_NaiveTwoSensorsOneMinute", "ms", 1e3, "<= 5", 5)]
    for label, ours, naive, unit, scale, goal, limit in queries:
        # Wall time: the averaging runs on the query workers as well as the caller.
        row(label, seconds(find(results, "queries_bench", ours), "real_time"),
            seconds(find(results, "naive_bench", naive), "real_time"), unit + " wall", goal,
            lambda v, l=limit: v <= l, scale)
    row("CSV export", counter("queries_bench", "BM_ExportHour", "items_per_second"),
        counter("naive_bench", "BM_NaiveExport", "items_per_second"), "M lines/s", ">= 5",
        lambda v: v >= 5, 1e-6)
    row("frame to getLastSample, median", counter("kit_bench", "BM_FrameToLastSample", "median_ms"),
        None, "ms", "< 5", lambda v: v < 5)
    row("frame to getLastSample, 99th percentile",
        counter("kit_bench", "BM_FrameToLastSample", "p99_ms"), None, "ms", "", None)
    # CSV export of an hour at its own pace, and a live run's delays while one is written.
    for axes, label, goal in (("OneAxis", "one-axis", 10), ("ThreeAxis", "three-axis", 5)):
        row(f"CSV export of an hour, {label}",
            counter("export_bench", f"BM_Export{axes}Hour", "items_per_second"), None,
            "M lines/s", f">= {goal}", lambda v, g=goal: v >= g, 1e-6)
    row("parser's longest wait for a sensor being exported",
        counter("export_bench", "BM_ExportParserWait", "max_wait_ms"), None, "ms", "<= 5",
        lambda v: v <= 5)
    waits = [b.get("max_wait_ms") for b in (results.get("export_bench") or {}).get("benchmarks", [])
             if b.get("name", "").startswith("BM_QueryParserWait/") and not b.get("error_occurred")]
    row("parser's longest wait for a sensor being queried (hour resampled, frame-averaged, read whole)",
        max(waits) if waits else None, None, "ms", "<= 5", lambda v: v <= 5)

    def counter_of_arg(program, prefix, key):
        for b in (results.get(program) or {}).get("benchmarks", []):
            if b.get("name", "").startswith(prefix) and not b.get("error_occurred"):
                return b.get(key)
        return None

    for arg, what in ((0, "hour loaded, no export"), (1, "hour exported meanwhile")):
        name = f"BM_FrameToLastSampleWhileExporting/{arg}/"
        row(f"frame to getLastSample, median, {what}",
            counter_of_arg("kit_bench", name, "median_ms"), None, "ms", "< 5", lambda v: v < 5)
        row(f"frame to getLastSample, 99th percentile, {what}",
            counter_of_arg("kit_bench", name, "p99_ms"), None, "ms", "< 5", lambda v: v < 5)
        row(f"longest time without a new live sample, {what}",
            counter_of_arg("kit_bench", name, "max_gap_ms"), None, "ms", "", None)
    row("sustained frames, both remotes, heaviest configuration, unpaced",
        counter("kit_bench", "BM_SustainedFrames", "frames_per_s"), None, "frames/s",
        ">= 200 (real time)", lambda v: v >= 200)
    row("library CPU, idle with the dongle plugged in",
        counter("kit_bench", "BM_CpuIdle", "library_cpu_pct"), None, "% of a core", "< 1",
        lambda v: v < 1)
    row("library CPU, two remotes streaming configuration 38",
        counter("kit_bench", "BM_CpuStreaming38", "library_cpu_pct"), None, "% of a core", "",
        None)
    row("reload of the one-hour two-remote recording",
        counter("kit_bench", "BM_ReloadHour", "seconds"), None, "s wall", "< 2", lambda v: v < 2)
    row("reload of the hour, CPU", counter("kit_bench", "BM_ReloadHour", "cpu_seconds"), None,
        "s CPU", "", None)
    row("reload of the hour, peak resident memory",
        counter("kit_bench", "BM_ReloadHour", "peak_rss_MB"), None, "MB", "", None)
    # The hour loaded: what stays resident, per stored sample of every sensor of both remotes.
    row("hour loaded, resident memory", counter("kit_bench", "BM_ReloadHour", "resident_MB"),
        None, "MB", "", None)
    row("hour loaded, bytes per stored sample (all sensors, resident growth)",
        counter("kit_bench", "BM_ReloadHour", "resident_bytes_per_sample"), None, "B", "<= 20",
        lambda v: v <= 20)
    # The bridge with the real browser, alone and with a DevTools client attached (Playwright
    # over the debugging port, as the browser tests attach it), in the same run.
    for suffix, who in (("", "host alone"), ("_ClientAttached", "client attached")):
        row(f"bridge request and reply, median, {who}",
            counter("host_bench", f"BM_RequestAndReply{suffix}", "median_ms"), None, "ms", "< 1",
            lambda v: v < 1)
        row(f"bridge reply of 100 000 floats, median, {who}",
            counter("host_bench", f"BM_SensorDataReplyOf100kFloats{suffix}", "median_ms"), None,
            "ms", "< 15", lambda v: v < 15)
    # The real program, headless, with the simulated kit (page_bench.mjs). The goals hold the
    # figures measured when they were set, with a margin, so that they cannot grow unnoticed.
    row("start-up: Korvex started to the page's first paint, median",
        counter("page_bench", "BM_StartupToFirstPaint", "median_ms"), None, "ms", "<= 2000",
        lambda v: v <= 2000)
    row("start-up: Record to the first live graph, median",
        counter("page_bench", "BM_RecordToFirstLiveGraph", "median_ms"), None, "ms", "<= 400",
        lambda v: v <= 400)
    row("page JS heap with live graphs (configurations 45 + 38)",
        counter("page_bench", "BM_PageMemoryLiveGraphs", "heap_MB"), None, "MB", "<= 8",
        lambda v: v <= 8)
    row("page JS heap growth with live graphs",
        counter("page_bench", "BM_PageMemoryLiveGraphs", "growth_MB_per_min"), None, "MB/min",
        "", None)
    row("page JS heap after an hour of live graphs, at that growth",
        counter("page_bench", "BM_PageMemoryLiveGraphs", "hour_heap_MB"), None, "MB", "<= 15",
        lambda v: v <= 15)
    return rows


def fmt(v):
    if v is None:
        return "-"
    return f"{v:.3g}" if abs(v) < 1000 else f"{v:,.0f}"


def table(rows, machine):
    out = [f"Korvex benchmark suite, {machine['date']} on {machine['host']} "
           f"({machine['cpus']} CPUs, {machine['cpu']}), load {machine['load']}", "",
           "| figure | ours | naive | naive/ours | unit | goal | met |",
           "|---|---|---|---|---|---|---|"]
    for r in rows:
        ratio = "-"
        if r["ours"] and r["naive"]:
            # Times and sizes: naive / ours; rates: ours / naive. Either way, how many
            # times better ours is.
            better = r["naive"] / r["ours"]
            if "/s" in r["unit"]:
                better = r["ours"] / r["naive"]
            ratio = f"{better:.1f}x"
        met = {True: "yes", False: "NO", None: ""}[r["met"]]
        out.append(f"| {r['figure']} | {fmt(r['ours'])} | {fmt(r['naive'])} | {ratio} | "
                   f"{r['unit']} | {r['goal']} | {met} |")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("programs", nargs="+")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    # The long end-to-end runs last, so the micro-benchmarks see a quiet process.
    order = sorted(args.programs, key=lambda p: (p == "kit_bench", p))
    results = {}
    for name in order:
        results[name] = run(args.bin, args.out, name)
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), cpu)
    except OSError:
        pass
    machine = {"host": platform.node(), "cpus": os.cpu_count(), "cpu": cpu,
               "kernel": platform.release(), "date": time.strftime("%Y-%m-%d %H:%M"),
               "load": " ".join(f"{x:.1f}" for x in os.getloadavg())}
    rows = figures(results)
    with open(os.path.join(args.out, "results.json"), "w") as f:
        json.dump({"machine": machine, "figures": rows, "programs": results}, f, indent=1)
    text = table(rows, machine)
    with open(os.path.join(args.out, "summary.md"), "w") as f:
        f.write(text + "\n")
    print()
    print(text)
    print(f"\nresults: {os.path.join(args.out, 'results.json')}")
    missing = [n for n, r in results.items() if r is None]
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
