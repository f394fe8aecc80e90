#!/usr/bin/env python3
"""The kest tool on one big record, a srg_opaque with a payload of MB megabytes of
random bytes: decode to JSON and encode back, in both JSON styles, beside `xxd -p` on
the same wire bytes. Each command runs REPS times pinned to one core; the table gives
medians of elapsed time and peak memory, as ratios to xxd's time and to the command's
input size. Every encode must give back the wire bytes it started from.

usage: big_input.py KEST [MB] [REPS]"""
import os
import statistics
import subprocess
import sys
import tempfile


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    kest, mb, reps = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 50, int(sys.argv[3]) if len(sys.argv) > 3 else 5
    core = str(os.cpu_count() - 1)
    with tempfile.TemporaryDirectory() as d:
        path = lambda name: os.path.join(d, name)
        n = mb * 1000000
        head, v = bytearray([0x1A]), n  # field 3, length-delimited
        while v >= 0x80:
            head.append(v & 0x7F | 0x80)
            v >>= 7
        head.append(v)
        with open(path("wire"), "wb") as f:
            f.write(bytes(head) + os.urandom(n))

        def run(name, args, src, dst):
            times, peaks = [], []
            for _ in range(reps):
                with open(path(src), "rb") as i, open(path(dst), "wb") as o:
                    subprocess.run(["taskset", "-c", core, "/usr/bin/time", "-f", "%e %M", "-o", path("time")] + args,
                                   stdin=i, stdout=o, check=True)
                t, m = open(path("time")).read().split()[-2:]
                times.append(float(t))
                peaks.append(int(m) * 1024)
            return name, statistics.median(times), statistics.median(peaks), os.path.getsize(path(src))

        rows = [run("xxd -p", ["xxd", "-p"], "wire", "hex")]
        for style, tag in (([], "json"), (["--json=proto"], "proto")):
            rows.append(run("kest decode " + " ".join(style + ["srg_opaque"]), [kest, "decode"] + style + ["srg_opaque"], "wire", tag))
            rows.append(run("kest encode " + " ".join(style + ["srg_opaque"]), [kest, "encode"] + style + ["srg_opaque"], tag, tag + ".wire"))
            if open(path(tag + ".wire"), "rb").read() != open(path("wire"), "rb").read():
                sys.exit(f"{tag}: encode did not give back the wire bytes")

    base = rows[0][1]
    print(f"{mb} MB payload, {reps} runs each, medians; time ratio to xxd -p, memory ratio to the input size\n")
    print("| command | input MB | time s | × xxd -p | peak MB | × input |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, t, peak, size in rows:
        print(f"| `{name}` | {size / 1e6:.0f} | {t:.2f} | {t / base if base else 0:.2f} | {peak / 1e6:.0f} | {peak / size:.2f} |")


if __name__ == "__main__":
    main()
