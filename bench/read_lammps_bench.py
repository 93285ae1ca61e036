"""The LAMMPS dump reader against its floor and what a user would run instead, in one table.

For one frame of 1 M and 10 M atoms with the 10 columns `id mol type mass xu yu zu vx vy vz` (values
written as Python's repr writes them), plain and gzip: the reader's time per frame (the native parse
alone, and a whole `read_lammps` frame), the one-core floor (every value parsed with std::from_chars
from memory), pandas `read_csv` of the frame and `gzip -dc`, all in the same run, each with the peak
resident memory of the process that ran it. Every timing is the best of a few runs, each in a fresh
process so that the peaks do not mix; the page cache holds the files throughout.

    PYTHONPATH=build/python /usr/bin/python3 bench/read_lammps_bench.py [--build-dir build] [--sizes 1e6,1e7]
"""
import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time


def _peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _one(method, path):
    """Runs one measurement in this (fresh) process: prints seconds and peak megabytes."""
    if method == "native":
        from vireo20 import _lammpsdump
        start = time.perf_counter()
        reader = _lammpsdump.Reader(path, "ATOMS")
        header = reader.next_header()
        names = header["columns"]
        where = {name: k for k, name in enumerate(names)}
        layout = [("i", (where["id"],)), ("i", (where["mol"],)), ("i", (where["type"],)), ("f", (where["mass"],)),
                  ("f", (where["xu"], where["yu"], where["zu"])), ("f", (where["vx"], where["vy"], where["vz"]))]
        reader.parse(layout)
        reader.close()
    elif method == "frame":
        from vireo20 import read_lammps
        start = time.perf_counter()
        series = read_lammps.open_series(path)
        for loader in series.loaders():
            loader.load()
        series.finish()
    elif method == "read_csv":
        import pandas as pd
        start = time.perf_counter()
        pd.read_csv(path, sep=" ", skiprows=9, header=None, engine="c")
    else:
        raise SystemExit(f"unknown method {method}")
    print(time.perf_counter() - start, _peak_mb())


def _measure(method, path, repeats):
    best, peak = float("inf"), 0.0
    for _ in range(repeats):
        printed = subprocess.run([sys.executable, __file__, "--one", method, path], check=True, capture_output=True,
                                 text=True).stdout.split()
        best, peak = min(best, float(printed[0])), max(peak, float(printed[1]))
    return best, peak


def _timed_command(command, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(command, shell=True, check=True)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("VIREO20_BUILD_DIR", "build"))
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--one", nargs=2, help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.one:
        return _one(*arguments.one)
    tool = os.path.join(arguments.build_dir, "bench", "lammps_dump_tool")
    threads = subprocess.run([sys.executable, "-c", "from vireo20 import _lammpsdump; print(_lammpsdump.thread_count())"],
                             check=True, capture_output=True, text=True).stdout.strip()
    rows = []
    with tempfile.TemporaryDirectory(prefix="vireo20_dump_bench") as folder:
        for size in (int(float(s)) for s in arguments.sizes.split(",")):
            repeats = arguments.repeats if size <= 2_000_000 else max(1, arguments.repeats - 1)
            plain = os.path.join(folder, f"atoms_{size}.dump")
            subprocess.run([tool, "write", plain, str(size), "1"], check=True)
            subprocess.run(f"gzip -k -6 {plain}", shell=True, check=True)
            packed = plain + ".gz"
            floor = min(float(subprocess.run([tool, "floor", plain], check=True, capture_output=True, text=True)
                              .stdout.split()[0]) for _ in range(repeats))
            gunzip = _timed_command(f"gzip -dc {packed} > /dev/null", repeats)
            row = dict(atoms=size, megabytes=os.path.getsize(plain) / 1e6, floor=floor, gzip_dc=gunzip)
            for name, method, path in (("native", "native", plain), ("frame", "frame", plain),
                                       ("native_gz", "native", packed), ("frame_gz", "frame", packed),
                                       ("read_csv", "read_csv", plain)):
                row[name], row[name + "_peak_mb"] = _measure(method, path, repeats)
            rows.append(row)
            os.remove(plain)
            os.remove(packed)

    print(f"LAMMPS dump reader, one frame of id mol type mass xu yu zu vx vy vz; {threads} threads "
          f"(VIREO20_THREADS), {os.cpu_count()} cores, {platform.processor() or platform.machine()}")
    print(f"{'atoms':>10} {'what':<34} {'time':>9} {'x floor':>8} {'peak MB':>8}")
    for row in rows:
        def line(what, seconds, peak=None, extra=""):
            peak_text = f"{peak:8.0f}" if peak is not None else " " * 8
            print(f"{row['atoms']:>10} {what:<34} {seconds * 1e3:7.0f}ms {seconds / row['floor']:8.2f} {peak_text}{extra}")
        line(f"floor: from_chars, 1 core ({row['megabytes']:.0f} MB)", row["floor"])
        line("native parse, plain", row["native"], row["native_peak_mb"], "   target <= 0.6x floor")
        line("read_lammps frame, plain", row["frame"], row["frame_peak_mb"])
        line("gzip -dc", row["gzip_dc"])
        extra = (row["native_gz"] - row["native"]) / row["gzip_dc"]
        line("native parse, gzip", row["native_gz"], row["native_gz_peak_mb"],
             f"   (gzip - plain) / gzip -dc = {extra:.2f}, target <= 1.2")
        line("read_lammps frame, gzip", row["frame_gz"], row["frame_gz_peak_mb"])
        line("pandas read_csv", row["read_csv"], row["read_csv_peak_mb"])
    results = os.path.join(arguments.build_dir, "bench", "read_lammps.json")
    os.makedirs(os.path.dirname(results), exist_ok=True)
    with open(results, "w") as stream:
        json.dump(rows, stream, indent=1)
    print(f"(also in {results})")


if __name__ == "__main__":
    main()
