#!/usr/bin/env python3
"""Turns a benchmark run into the README's performance section.

usage: report.py TIMES.json CALLGRIND_DIR RESULTS.md CHART.svg README.md
"""
import glob
import json
import os
import re
import subprocess
import sys

PEERS = ["protobuf", "protobuf-c", "nanopb"]
ENCODE = ["encode"]
DECODE = ["decode", "decode_arena", "decode_malloc"]
WORKLOADS = ["neg", "cmd", "sync", "dhcpv4", "dhcpv6", "sync_bulk", "cmd_heavy"]


def load_times(path):
    doc = json.load(open(path))
    times = {}
    for b in doc["benchmarks"]:
        if b.get("aggregate_name") == "median":
            name = b["run_name"].split("/iterations")[0]
            times[name] = b["cpu_time"]
            if "wire_bytes" in b:
                sizes[name.split("/")[0]] = int(b["wire_bytes"])
    return times, doc["context"]


def load_counts(folder):
    counts = {}
    for f in glob.glob(os.path.join(folder, "cg.out.*")):
        text = open(f).read()
        name = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        if name and total:
            counts[name.group(1)] = int(total.group(1))
    iterations = 100
    return {k: v / iterations for k, v in counts.items()}


def best_peer(times, workload, ops):
    found = [(times[f"{workload}/{p}/{op}"], f"{p} {op}") for p in PEERS for op in ops
             if f"{workload}/{p}/{op}" in times]
    return min(found) if found else (None, None)


def fmt(ns):
    return "-" if ns is None else (f"{ns:.0f}" if ns >= 100 else f"{ns:.1f}")


def main():
    times_path, cg_dir, results_md, chart_svg, readme = sys.argv[1:6]
    times, context = load_times(times_path)
    counts = load_counts(cg_dir)
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    gxx = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]

    lines = [
        f"Machine: {cpu}, {context.get('num_cpus')} cores, run pinned to one core. "
        f"Compiler: {gxx}, `-O3 -DNDEBUG` (CMake Release), libkest built the same way.",
        f"Command: `scripts/bench.sh` ({context.get('date', '')[:10]}). Times are CPU ns per operation, "
        "medians of repeated runs; × is the fastest peer's time divided by kest's.",
        "",
        "| workload | wire bytes | kest encode | fastest peer encode | × | kest decode | fastest peer decode | × "
        "| kest zero-copy decode | × |",
        "|---|---:|---:|---|---:|---:|---|---:|---:|---:|",
    ]
    chart = []
    targets = []
    for w in WORKLOADS:
        if f"{w}/kest/encode" not in times:
            continue
        enc = times[f"{w}/kest/encode"]
        dec = times[f"{w}/kest/decode"]
        zc = times[f"{w}/kest/decode_zero_copy"]
        pe, pe_name = best_peer(times, w, ENCODE)
        pd, pd_name = best_peer(times, w, DECODE)
        lines.append(
            f"| {w} | {sizes.get(w, '?')} | {fmt(enc)} | {fmt(pe)} ({pe_name}) | {pe / enc:.2f} | {fmt(dec)} "
            f"| {fmt(pd)} ({pd_name}) | {pd / dec:.2f} | {fmt(zc)} | {pd / zc:.2f} |")
        chart.append((w, pe / enc, pd / dec, pd / zc))
        if w == "cmd_heavy":
            mem = times[f"{w}/floor/memcpy"]
            small_zc_enc = times["cmd/kest/encode_zero_copy"]
            small_zc_dec = times["cmd/kest/decode_zero_copy"]
            targets += [
                (w, "copy encode ≤ 1.3 × memcpy", enc / mem, enc / mem <= 1.3),
                (w, "copy decode ≤ 1.3 × memcpy", dec / mem, dec / mem <= 1.3),
                (w, "zero-copy encode ≤ 1.5 × small", times[f"{w}/kest/encode_zero_copy"] / small_zc_enc,
                 times[f"{w}/kest/encode_zero_copy"] / small_zc_enc <= 1.5),
                (w, "zero-copy decode ≤ 1.5 × small", zc / small_zc_dec, zc / small_zc_dec <= 1.5),
            ]
        else:
            targets += [
                (w, "encode ≥ 2 × fastest peer", pe / enc, pe / enc >= 2),
                (w, "decode ≥ 1.5 × fastest peer", pd / dec, pd / dec >= 1.5),
                (w, "zero-copy decode ≥ 3 × fastest peer", pd / zc, pd / zc >= 3),
            ]

    lines += ["", "| workload | target | measured | met |", "|---|---|---:|---|"]
    lines += [f"| {w} | {t} | {r:.2f} | {'yes' if ok else 'no'} |" for w, t, r, ok in targets]

    ops = ["kest/encode", "kest/encode_zero_copy", "kest/size_query", "kest/decode", "kest/decode_zero_copy",
           "kest/duplicate", "protobuf/encode", "protobuf/decode", "protobuf-c/encode", "protobuf-c/decode",
           "nanopb/encode", "nanopb/decode"]
    lines += ["", "Instructions per operation (callgrind, `KEST_BENCH_ITERATIONS=100`, loop overhead included):", "",
              "| workload | " + " | ".join(ops) + " |", "|---|" + "---:|" * len(ops)]
    for w in WORKLOADS:
        row = [f"{counts[f'{w}/{op}']:.0f}" if f"{w}/{op}" in counts else "-" for op in ops]
        lines.append(f"| {w} | " + " | ".join(row) + " |")
    lines += ["", "![speed-up over the fastest peer](bench/chart.svg)"]
    report = "\n".join(lines) + "\n"
    open(results_md, "w").write(report)

    data = os.path.splitext(chart_svg)[0] + ".dat"
    with open(data, "w") as f:
        for w, e, d, z in chart:
            f.write(f"{w} {e:.3f} {d:.3f} {z:.3f}\n")
    script = f"""set terminal svg size 760,360 font 'sans,11'
set output '{chart_svg}'
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.8 border -1
set ylabel 'speed-up over the fastest peer (x)'
set yrange [0:*]
set grid ytics
set key top left
plot '{data}' using 2:xtic(1) title 'encode', '' using 3 title 'decode (copy)', '' using 4 title 'decode (zero-copy)', 1 notitle lc rgb 'black'
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)
    os.remove(data)

    text = open(readme).read()
    begin, end = "<!-- bench:begin -->", "<!-- bench:end -->"
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        _, tail = rest.split(end, 1)
        open(readme, "w").write(head + begin + "\n" + report + end + tail)


sizes = {}
if __name__ == "__main__":
    main()
