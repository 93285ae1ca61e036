"""The whole job against the time of reading its input, in one table.

For LAMMPS dumps of 0.9 M atoms written as LAMMPS writes by default (`%g`, six digits) and of 1 M and
10 M atoms written to every digit (`id mol type mass xu yu zu vx vy vz`), plain and gzip: the
job's time per frame (a 3-frame run minus a 1-frame run of the same round, halved) and its fixed part
(the 1-frame run minus one frame), each run a fresh `vireo20 upscale` process with its peak memory,
against the one-core parse floor (every value of a frame parsed with std::from_chars from memory),
pandas `read_csv` of the frame and `gzip -dc` of the frame, measured in the same run. Then a step of
the built-in data set at 10 M particles. The job's median round and the best of the others' rounds
are kept. And the job's cost a frame of 3000 frames of 100 atoms.

    PYTHONPATH=build/python /usr/bin/python3 bench/job_bench.py [--build-dir build] [--sizes 9e5:g,1e6,1e7] [--rounds 3]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

FRAMES = 3


def _job(arguments, folder):
    """Seconds and peak megabytes of one job run: `python3 -m vireo20 upscale`, as users start it."""
    out = os.path.join(folder, "out")
    shutil.rmtree(out, ignore_errors=True)
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "vireo20", "upscale", *arguments, "--out", out],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    errors = child.stderr.read()
    # The child's own resource use (its restart included), not that of every child so far.
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)  # reaped here: Popen must not wait again
    if child.returncode:
        raise SystemExit(f"the job failed: {errors}")
    return seconds, usage.ru_maxrss / 1024.0


def _frames(single, path, count):
    """A dump of `count` copies of a one-frame dump, at timesteps 0, 100, ..."""
    text = open(single, "rb").read()
    head = b"ITEM: TIMESTEP\n0\n"
    assert text.startswith(head)
    with open(path, "wb") as out:
        for k in range(count):
            out.write(b"ITEM: TIMESTEP\n%d\n" % (100 * k))
            out.write(memoryview(text)[len(head):])


def _timed(command):
    start = time.perf_counter()
    subprocess.run(command, shell=True, check=True)
    return time.perf_counter() - start


def _read_csv(path):
    code = ("import time, pandas; start = time.perf_counter(); "
            f"pandas.read_csv({path!r}, sep=' ', skiprows=9, header=None, engine='c'); print(time.perf_counter() - start)")
    return float(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("VIREO20_BUILD_DIR", "build"))
    parser.add_argument("--sizes", default="9e5:g,1e6,1e7", help="atoms a frame; ':g' for six-digit numbers")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", default=None, help="also write the table here")
    arguments = parser.parse_args()
    tool = os.path.join(arguments.build_dir, "bench", "lammps_dump_tool")
    rows = []
    with tempfile.TemporaryDirectory(prefix="vireo20_job_bench") as folder:
        for size, digits in (s.partition(":")[::2] for s in arguments.sizes.split(",")):
            size = int(float(size))
            single = os.path.join(folder, "one.dump")
            several = os.path.join(folder, "three.dump")
            subprocess.run([tool, "write", single, str(size), "1", *([digits] if digits else [])], check=True)
            _frames(single, several, FRAMES)
            for path in (single, several):
                subprocess.run(["gzip", "-k", "-6", path], check=True)
            best = {}

            def keep(name, value):
                best[name] = value if name not in best or value[0] < best[name][0] else best[name]

            # A round's 1-frame and 3-frame runs make one per-frame time, and the median round is
            # kept: the best of each kind on its own paired runs of quiet and slow moments (one noisy
            # round gave 0.08 s a 1 M frame).
            rounds = {"": [], ".gz": []}
            for _ in range(arguments.rounds if size <= 2_000_000 else 1):
                keep("floor", (float(subprocess.run([tool, "floor", single], check=True, capture_output=True,
                                                    text=True).stdout.split()[0]),))
                keep("gzip_dc", (_timed(f"gzip -dc {single}.gz > /dev/null"),))
                for suffix in ("", ".gz"):
                    one, three = _job([single + suffix], folder), _job([several + suffix], folder)
                    frame = (three[0] - one[0]) / (FRAMES - 1)
                    rounds[suffix].append((frame, one[0] - frame, one[1], three[1]))
            for suffix, found in rounds.items():
                best["round" + suffix] = sorted(found)[len(found) // 2]
            keep("read_csv", (_read_csv(single),))
            for path in (single, several, single + ".gz", several + ".gz"):
                os.remove(path)
            rows.append({"atoms": size, "label": f"{size / 1e6:g} M" + (" %g" if digits else ""),
                         **{k: list(v) for k, v in best.items()}})

        # Many small frames: what a step costs beyond its atoms (bookkeeping that grew with the steps
        # made 3000 frames take 100 s once): the 3000-frame run less the 300-frame run, a frame.
        small = os.path.join(folder, "small.dump")
        subprocess.run([tool, "write", small, "100", "1"], check=True)
        many = {}
        for count in (300, 3000):
            path = os.path.join(folder, f"small{count}.dump")
            _frames(small, path, count)
            many[count] = _job([path, "--no-picture"], folder)

        clusters = 2_200_000
        synthetic = {}
        # Steps overlap (the next is made while one is reduced and the last written), so one more
        # step hides behind the first: the steady rate is the 4-step run less the 1-step run, over 3.
        for steps in (1, 4):
            synthetic[steps] = _job(["--clusters", str(clusters), "--steps", str(steps), "--no-picture"], folder)

    print(f"The job, per LAMMPS dump frame of id mol type mass xu yu zu vx vy vz ({os.cpu_count()} cores)")
    print(f"{'atoms':>10} {'what':<44} {'seconds':>8} {'ratio':>22} {'peak MB':>8}")
    for row in rows:
        floor, csv, gzip_dc = row["floor"][0], row["read_csv"][0], row["gzip_dc"][0]
        for suffix, name in (("", "plain"), (".gz", "gzip")):
            frame, fixed, one_peak, three_peak = row["round" + suffix]
            row[f"frame{suffix}"], row[f"fixed{suffix}"] = frame, fixed
            ratio = f"{frame / floor:.2f}x floor, {csv / frame:.2f}x faster than read_csv" if not suffix else \
                f"+{(frame - row['frame']) / gzip_dc:.2f}x gzip -dc over plain"
            print(f"{row['label']:>10} {'job per frame, ' + name:<44} {frame:8.3f} {ratio:>22} {three_peak:8.0f}")
            print(f"{row['label']:>10} {'job fixed part, ' + name:<44} {fixed:8.3f} {'':>22} {one_peak:8.0f}")
        print(f"{row['label']:>10} {'one-core parse floor (std::from_chars)':<44} {floor:8.3f}")
        print(f"{row['label']:>10} {'pandas read_csv of the frame':<44} {csv:8.3f}")
        print(f"{row['label']:>10} {'gzip -dc of the frame':<44} {gzip_dc:8.3f}")
    small_frame = (many[3000][0] - many[300][0]) / 2700
    print(f"{'100':>10} {'job per frame of 3000 small ones':<44} {small_frame:8.4f} {'':>22} {many[3000][1]:8.0f}")
    step = (synthetic[4][0] - synthetic[1][0]) / 3
    print(f"{'~10 M':>10} {'built-in data set, per step':<44} {step:8.3f} {'':>22} {synthetic[4][1]:8.0f}")
    print(f"{'~10 M':>10} {'built-in data set, 1-step run':<44} {synthetic[1][0]:8.3f} {'':>22} {synthetic[1][1]:8.0f}")
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump({"dumps": rows, "small_frame": small_frame, "synthetic_step": step,
                       "synthetic_peak_mb": synthetic[4][1]}, out, indent=1)


if __name__ == "__main__":
    main()
