"""The LAMMPS dump reader against its floor and what a user would run instead, in one table.

For one frame of 1 M and 10 M atoms with the 10 columns `id mol type mass xu yu zu vx vy vz` (values
written as Python's repr writes them), plain and gzip: the reader's time per frame (the native parse
alone, and a whole `read_lammps` frame), the one-core floor (every value parsed with std::from_chars
from memory), pandas `read_csv` of the frame and `gzip -dc`, all in the same run, each with the peak
resident memory of the process that ran it. Each timing runs in a fresh process, so that the peaks do
not mix, and is the best of a few rounds; the page cache holds the files throughout.

    PYTHONPATH=build/python /usr/bin/python3 bench/read_lammps_bench.py [--build-dir build] [--sizes 1e6,1e7] [--rounds 4]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time


def _peak_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _one(method, path):
    """Runs one measurement in this (fresh) process: prints the seconds of the frame, the CPU seconds
    of its threads, the seconds of the fixed part (a plain file's index and its end check) and the
    peak megabytes."""
    fixed = 0.0
    cpu = time.process_time()
    if method == "native":
        from vireo20 import _lammpsdump
        start = time.perf_counter()
        reader = _lammpsdump.Reader(path, "ATOMS")
        where = {name: k for k, name in enumerate(reader.next_header()["columns"])}
        reader.parse([("i", (where["id"],)), ("i", (where["mol"],)), ("i", (where["type"],)), ("f", (where["mass"],)),
                      ("f", (where["xu"], where["yu"], where["zu"])), ("f", (where["vx"], where["vy"], where["vz"]))])
        reader.close()
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    elif method == "frame":
        from vireo20 import read_lammps
        start = time.perf_counter()
        series = read_lammps.open_series(path)
        loaders = series.loaders()
        loader = next(loaders)
        indexed = time.perf_counter()
        loader.load()
        loaded, cpu = time.perf_counter(), time.process_time() - cpu
        list(loaders)
        series.finish()
        finished = time.perf_counter()
        # A gzip frame is parsed as its loader is taken: that is the frame's time.
        if path.endswith(".gz"):
            seconds, fixed = loaded - start, finished - loaded
        else:
            seconds, fixed = loaded - indexed, (indexed - start) + (finished - loaded)
    elif method == "read_csv":
        import pandas as pd
        start = time.perf_counter()
        pd.read_csv(path, sep=" ", skiprows=9, header=None, engine="c")
        seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    else:
        raise SystemExit(f"unknown method {method}")
    print(seconds, cpu, fixed, _peak_mb())


def _measure(method, path, threads=None):
    environment = dict(os.environ)
    if threads is not None:
        environment["VIREO20_THREADS"] = str(threads)
    printed = subprocess.run([sys.executable, __file__, "--one", method, path], check=True, capture_output=True,
                             text=True, env=environment).stdout.split()
    return [float(word) for word in printed]


def _timed_command(command):
    start, children = time.perf_counter(), resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(command, shell=True, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.perf_counter() - start, (after.ru_utime + after.ru_stime) - (children.ru_utime + children.ru_stime)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("VIREO20_BUILD_DIR", "build"))
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--rounds", type=int, default=4)
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
            plain = os.path.join(folder, f"atoms_{size}.dump")
            subprocess.run([tool, "write", plain, str(size), "1"], check=True)
            subprocess.run(f"gzip -k -6 {plain}", shell=True, check=True)
            packed = plain + ".gz"
            # Rounds of every measurement in turn, the best of each kept: a machine shared with other
            # work slows some rounds, and no method should get only the slow ones.
            best = {}

            def keep(name, values):
                old = best.get(name)
                best[name] = values if old is None or values[0] < old[0] else old

            rounds = arguments.rounds if size <= 2_000_000 else max(2, arguments.rounds // 2)
            for _ in range(rounds):
                keep("floor", [float(word) for word in subprocess.run(
                    [tool, "floor", plain], check=True, capture_output=True, text=True).stdout.split()[:2]])
                keep("gzip_dc", list(_timed_command(f"gzip -dc {packed} > /dev/null")))
                keep("native", _measure("native", plain))
                keep("native_1", _measure("native", plain, threads=1))
                keep("frame", _measure("frame", plain))
                keep("native_gz", _measure("native", packed))
                keep("frame_gz", _measure("frame", packed))
            keep("read_csv", _measure("read_csv", plain))
            rows.append(dict(atoms=size, megabytes=os.path.getsize(plain) / 1e6, **best))
            os.remove(plain)
            os.remove(packed)

    print(f"LAMMPS dump reader, one frame of id mol type mass xu yu zu vx vy vz; {threads} threads "
          f"(VIREO20_THREADS), {os.cpu_count()} cores; the best of {arguments.rounds} rounds (half at 10 M)")
    print("(CPU: the seconds of every thread of the run; on a machine shared with other work, its ratio to the\n"
          "floor's shows what the wall-clock ratio would be on free cores, the parse's CPU shared over them)")
    print(f"{'atoms':>10} {'what':<36} {'time':>9} {'x floor':>8} {'CPU':>9} {'x floor':>8} {'peak MB':>8}")
    for row in rows:
        floor, floor_cpu = row["floor"]

        def line(what, values, extra=""):
            peak = f"{values[-1]:8.0f}" if len(values) > 3 else " " * 8
            print(f"{row['atoms']:>10} {what:<36} {values[0] * 1e3:7.0f}ms {values[0] / floor:8.2f} "
                  f"{values[1] * 1e3:7.0f}ms {values[1] / floor_cpu:8.2f} {peak}{extra}")

        line(f"floor: from_chars, 1 core ({row['megabytes']:.0f} MB)", row["floor"])
        line("native parse, plain", row["native"], "   target <= 0.6x floor")
        line("native parse, plain, 1 thread", row["native_1"])
        line("read_lammps frame, plain", row["frame"], f"   + {row['frame'][2] * 1e3:.0f} ms index and end check")
        line("gzip -dc", row["gzip_dc"])
        extra = (row["native_gz"][0] - row["native"][0]) / row["gzip_dc"][0]
        line("native parse, gzip", row["native_gz"], f"   (gzip - plain) / gzip -dc = {extra:.2f}, target <= 1.2")
        line("read_lammps frame, gzip", row["frame_gz"])
        line("pandas read_csv", row["read_csv"])
    results = os.path.join(arguments.build_dir, "bench", "read_lammps.json")
    os.makedirs(os.path.dirname(results), exist_ok=True)
    with open(results, "w") as stream:
        json.dump(rows, stream, indent=1)
    print(f"(also in {results})")


if __name__ == "__main__":
    main()
