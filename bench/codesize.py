#!/usr/bin/env python3
"""What generated code costs: object size and compile CPU time of kest's codecs beside
protobuf (C++), protobuf-c and nanopb, on a large proto2 schema of 20 messages of 20 fields
in two forms. "flat": no message holds another. "nested": field 20 of message i (i >= 4) is
a run of message i-4 instead of a scalar, so runs nest 5 deep (m19 > m15 > m11 > m07 > m03)
and there are still 400 fields. Each generated file is compiled alone, g++ -O2 -std=c++20 -c
(gcc -O2 -c for C); a compile past CAP CPU seconds is killed (RLIMIT_CPU) and reported
unfinished. nanopb gets every byte string a max_size of 64 and every run a max_count of 2
(with 4, nested records pass the 64 kB its runtime is built for).
Writes a markdown table to stdout, and the figures to JSON if asked.

usage: codesize.py PLUGIN [--cap SECONDS] [--lib LIBKEST] [--json OUT] [--keep DIR]
       codesize.py --proto flat|nested      (print the schema)"""
import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MESSAGES, FIELDS, STEP = 20, 20, 4
KINDS = ["uint32", "uint64", "bool", "fixed32", "bytes", "string"]
LIBDIR = "/usr/lib/" + subprocess.run(["gcc", "-print-multiarch"], capture_output=True, text=True).stdout.strip()


def schema(form):
    out = ['syntax = "proto2";', "", "package big;", ""]
    for i in range(MESSAGES):
        out.append(f"message m{i:02} {{")
        for j in range(1, FIELDS + 1):
            if form == "nested" and j == FIELDS and i >= STEP:
                out.append(f"  repeated m{i - STEP:02} f{j} = {j};")
            else:
                out.append(f"  optional {KINDS[(i + j) % len(KINDS)]} f{j} = {j};")
        out.append("}")
    return "\n".join(out) + "\n"


def size(path):
    """text and data of an object, archive or library, summed over its members."""
    lines = subprocess.run(["size", path], capture_output=True, text=True, check=True).stdout.splitlines()[1:]
    return sum(int(l.split()[0]) for l in lines), sum(int(l.split()[1]) for l in lines)


def run(cmd, cap=None, cwd=None):
    """Runs cmd in cwd; returns (finished, user+sys CPU seconds of it and its children)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # a killed cc1plus would dump a large core
        if cap:
            resource.setrlimit(resource.RLIMIT_CPU, (cap, cap + 5))
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=limit, cwd=cwd)
    err = p.stderr.read()
    _, status, use = os.wait4(p.pid, 0)
    p.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    cpu = use.ru_utime + use.ru_stime
    if p.returncode == 0:
        return True, cpu
    if cap and cpu >= cap - 1:
        return False, cpu
    sys.exit(f"{' '.join(cmd)} failed:\n{err.decode(errors='replace')}")


def codecs(plugin):
    """name, the command that generates into the current directory, the file to compile, the compiler."""
    cxx, cc = ["g++", "-O2", "-std=c++20", "-c"], ["gcc", "-O2", "-c"]
    return [
        ("kest", ["protoc", f"--plugin=protoc-gen-kest={plugin}", "--kest_out=.", "--kest_opt=prefix=x_",
                  "-I.", "big.proto"],
         "big.kest.cpp", cxx + [f"-I{REPO}", f"-I{REPO}/include"]),
        ("protobuf (C++)", ["protoc", "--cpp_out=.", "-I.", "big.proto"], "big.pb.cc", cxx),
        ("protobuf-c", ["protoc", "--c_out=.", "-I.", "big.proto"], "big.pb-c.c", cc),
        ("nanopb", ["nanopb_generator.py", "-q", "-f", "big.options", "big.proto"], "big.pb.c", cc),
    ]


def measure(plugin, cap, keep):
    rows = []
    for form in ("flat", "nested"):
        for name, generate, source, compiler in codecs(plugin):
            d = os.path.join(keep, form, name.split()[0])
            os.makedirs(d, exist_ok=True)
            with open(os.path.join(d, "big.proto"), "w") as f:
                f.write(schema(form))
            with open(os.path.join(d, "big.options"), "w") as f:
                f.write("big.* max_size:64 max_count:2\n")
            run(generate, cwd=d)
            # in d, by relative names: the path of the source ends up in the object
            done, cpu = run(["nice", "-n", "10"] + compiler + ["-I.", source, "-o", source + ".o"], cap, d)
            text, data = size(os.path.join(d, source + ".o")) if done else (None, None)
            rows.append({"codec": name, "form": form, "finished": done, "cpu_s": round(cpu, 1),
                         "text": text, "data": data})
            print(f"{form} {name}: {'done' if done else 'killed'} in {cpu:.1f} s", file=sys.stderr)
    return rows


def runtimes(lib):
    """The code each codec links besides its generated code."""
    out = []
    if lib:
        out.append(("kest: libkest.so (srg's 7 codecs; the engine is templates, built into each codec)", lib))
    out.append(("protobuf-c: libprotobuf-c.so", f"{LIBDIR}/libprotobuf-c.so"))
    out.append(("nanopb: pb_common, pb_encode, pb_decode (libprotobuf-nanopb.a)", f"{LIBDIR}/libprotobuf-nanopb.a"))
    out.append(("protobuf (C++): libprotobuf-lite.so (large; for completeness)", f"{LIBDIR}/libprotobuf-lite.so"))
    out.append(("protobuf (C++): libprotobuf.so (large; for completeness)", f"{LIBDIR}/libprotobuf.so"))
    return [{"runtime": name, "path": os.path.realpath(p), "text": size(p)[0], "data": size(p)[1]} for name, p in out]


def table(rows, libs, cap):
    """The markdown tables, as lines; bench/report.py puts them in the README."""
    n = MESSAGES * FIELDS
    num = lambda v: f"{v:,.0f}".replace(",", " ")
    out = ["| form | codec | text bytes | data bytes | text per field | compile CPU s |", "|---|---|---:|---:|---:|---:|"]
    for r in rows:
        if r["finished"]:
            out.append(f"| {r['form']} | {r['codec']} | {num(r['text'])} | {num(r['data'])} | {num(r['text'] / n)} | {r['cpu_s']:.1f} |")
        else:
            out.append(f"| {r['form']} | {r['codec']} | | | | > {cap}, unfinished |")
    out += ["", "| runtime | text bytes | data bytes |", "|---|---:|---:|"]
    out += [f"| {l['runtime']} | {num(l['text'])} | {num(l['data'])} |" for l in libs]
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("plugin", nargs="?", help="the built protoc-gen-kest")
    ap.add_argument("--proto", choices=["flat", "nested"], help="print the schema and stop")
    ap.add_argument("--cap", type=int, default=120, help="CPU seconds a compile may take (default 120)")
    ap.add_argument("--lib", help="the built libkest.so, for the runtime table")
    ap.add_argument("--json", help="also write the figures here")
    ap.add_argument("--keep", help="generate and compile here instead of a temporary directory")
    a = ap.parse_args()
    if a.proto:
        sys.stdout.write(schema(a.proto))
        return
    if not a.plugin:
        ap.error("the plugin is needed")
    work = a.keep or tempfile.mkdtemp(prefix="kest-codesize-")
    try:
        rows, libs = measure(os.path.abspath(a.plugin), a.cap, work), runtimes(a.lib)
    finally:
        if not a.keep:
            shutil.rmtree(work)
    print("\n".join(table(rows, libs, a.cap)))
    if a.json:
        with open(a.json, "w") as f:
            json.dump({"cap_s": a.cap, "fields": MESSAGES * FIELDS, "codecs": rows, "runtimes": libs}, f, indent=1)


if __name__ == "__main__":
    main()
