#!/usr/bin/env python3
"""Turns a benchmark run into the README's performance section.

usage: report.py TIMES.json CALLGRIND_DIR RESULTS.md CHART.svg README.md [CODESIZE.json]
"""
import glob
import json
import os
import re
import subprocess
import sys

import codesize

PEERS = ["protobuf", "protobuf-c", "nanopb"]
ENCODE = ["encode"]
DECODE = ["decode", "decode_arena", "decode_malloc"]
WORKLOADS = ["neg", "cmd", "sync", "dhcpv4", "dhcpv6", "dhcpv6_run8", "dhcpv6_run64", "sync_bulk", "cmd_heavy",
             "kinds", "large"]


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


def code_size(path):
    """codesize.py's figures as the report's closing tables."""
    doc = json.load(open(path))
    version = lambda deb: subprocess.run(["dpkg-query", "-W", "-f=${Version}", deb],
                                         capture_output=True, text=True).stdout.split("-")[0] or "?"
    return ["", f"Code size and compile time of generated code (`bench/codesize.py`, below; "
            f"protoc {version('protobuf-compiler')}, protobuf-c {version('libprotobuf-c-dev')}, "
            f"nanopb {version('nanopb')}), on the schemas of {doc['fields']} fields:", ""] + \
        codesize.table(doc["codecs"], doc["runtimes"], doc["cap_s"])


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
        "medians of repeated runs; × is the fastest peer's time divided by kest's. Two calls: a size "
        "query with a segment count, then the encode (protobuf: `ByteSizeLong`, then `SerializeToArray`).",
        "",
        "| workload | wire bytes | kest encode | fastest peer encode | × | kest two calls | fastest peer two calls | × "
        "| kest decode | fastest peer decode | × | kest zero-copy decode | × |",
        "|---|---:|---:|---|---:|---:|---|---:|---:|---|---:|---:|---:|",
    ]
    chart = []
    targets = []

    def target(w, what, kest_op, peer, at_least=None, at_most=None):
        """peer: (time, 'lib op') of the comparison; the ratio is theirs over ours, or ours over
        theirs for an upper bound; instructions likewise from callgrind."""
        ours, (theirs, name) = times[f"{w}/{kest_op}"], peer
        lib_op = name.replace(" ", "/")
        ci = counts.get(f"{w}/{kest_op}"), counts.get(f"{w}/{lib_op}")
        if at_least is not None:
            r, ri, ok = theirs / ours, (ci[1] / ci[0] if all(ci) else None), theirs / ours >= at_least
        else:
            r, ri, ok = ours / theirs, (ci[0] / ci[1] if all(ci) else None), ours / theirs <= at_most
        targets.append((w, what, r, ri, ok))

    for w in WORKLOADS:
        if f"{w}/kest/encode" not in times:
            continue
        enc, two = times[f"{w}/kest/encode"], times[f"{w}/kest/two_call"]
        dec, zc = times[f"{w}/kest/decode"], times[f"{w}/kest/decode_zero_copy"]
        pe, pe_name = best_peer(times, w, ENCODE)
        pt, pt_name = best_peer(times, w, ["two_call"])
        pd, pd_name = best_peer(times, w, DECODE)
        lines.append(
            f"| {w} | {sizes.get(w, '?')} | {fmt(enc)} | {fmt(pe)} ({pe_name}) | {pe / enc:.2f} | {fmt(two)} "
            f"| {fmt(pt)} ({pt_name}) | {pt / two:.2f} | {fmt(dec)} "
            f"| {fmt(pd)} ({pd_name}) | {pd / dec:.2f} | {fmt(zc)} | {pd / zc:.2f} |")
        chart.append((w, pe / enc, pt / two, pd / dec, pd / zc))
        sq = (times[f"{w}/kest/size_query"], "kest size_query")
        target(w, "size query with a segment count ≤ 1.2 × without", "kest/size_query_segments", sq, at_most=1.2)
        if w == "cmd_heavy":
            mem = (times[f"{w}/floor/memcpy"], "floor memcpy")
            target(w, "copy encode ≤ 1.3 × memcpy", "kest/encode", mem, at_most=1.3)
            target(w, "copy decode ≤ 1.3 × memcpy", "kest/decode", mem, at_most=1.3)
            target(w, "zero-copy encode ≤ 1.5 × small", "kest/encode_zero_copy",
                   (times["cmd/kest/encode_zero_copy"], "kest encode_zero_copy"), at_most=1.5)
            target(w, "zero-copy decode ≤ 1.5 × small", "kest/decode_zero_copy",
                   (times["cmd/kest/decode_zero_copy"], "kest decode_zero_copy"), at_most=1.5)
        else:
            target(w, "encode ≥ 2 × fastest peer", "kest/encode", (pe, pe_name), at_least=2)
            target(w, "two calls ≥ 1.6 × fastest peer", "kest/two_call", (pt, pt_name), at_least=1.6)
            target(w, "decode ≥ 3 × fastest peer", "kest/decode", (pd, pd_name), at_least=3)
            target(w, "zero-copy decode ≥ 4 × fastest peer", "kest/decode_zero_copy", (pd, pd_name), at_least=4)

    lines += ["", "| workload | target | time ratio | instruction ratio | met |", "|---|---|---:|---:|---|"]
    lines += [f"| {w} | {t} | {r:.2f} | {'-' if ri is None else f'{ri:.2f}'} | {'yes' if ok else 'no'} |"
              for w, t, r, ri, ok in targets]

    ops = ["kest/encode", "kest/encode_zero_copy", "kest/size_query", "kest/size_query_segments", "kest/two_call",
           "kest/decode", "kest/decode_zero_copy", "kest/duplicate", "protobuf/encode", "protobuf/two_call",
           "protobuf/decode", "protobuf-c/encode", "protobuf-c/decode", "nanopb/encode", "nanopb/decode"]
    lines += ["", "Instructions per operation (callgrind, `KEST_BENCH_ITERATIONS=100`, loop overhead included):", "",
              "| workload | " + " | ".join(ops) + " |", "|---|" + "---:|" * len(ops)]
    for w in WORKLOADS:
        row = [f"{counts[f'{w}/{op}']:.0f}" if f"{w}/{op}" in counts else "-" for op in ops]
        lines.append(f"| {w} | " + " | ".join(row) + " |")
    lines += ["", "![speed-up over the fastest peer](bench/chart.svg)"]
    if len(sys.argv) > 6:
        lines += code_size(sys.argv[6])
    report = "\n".join(lines) + "\n"
    open(results_md, "w").write(report)

    data = os.path.splitext(chart_svg)[0] + ".dat"
    with open(data, "w") as f:
        for w, e, t, d, z in chart:
            f.write(f"{w} {e:.3f} {t:.3f} {d:.3f} {z:.3f}\n")
    script = f"""set terminal svg size 760,360 font 'sans,11'
set output '{chart_svg}'
set style data histogram
set style histogram cluster gap 1
set style fill solid 0.8 border -1
set ylabel 'speed-up over the fastest peer (x)'
set yrange [0:*]
set grid ytics
set key top left
plot '{data}' using 2:xtic(1) title 'encode', '' using 3 title 'two calls', '' using 4 title 'decode (copy)', '' using 5 title 'decode (zero-copy)', 1 notitle lc rgb 'black'
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
