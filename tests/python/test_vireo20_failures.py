"""The job's failure modes, provoked for real: each exits with its status and one line, and leaves the
previous series and every input byte for byte as they were."""
import fcntl
import gzip
import hashlib
import os
import resource
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from vireo20 import output, read_npz
from vireo20.synthetic import SyntheticSeries

JOB = [sys.executable, "-m", "vireo20", "upscale"]


def tree(folder):
    """Every file under a folder (hidden ones too) with its bytes' digest."""
    found = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            found[os.path.relpath(path, folder)] = hashlib.sha256(open(path, "rb").read()).hexdigest()
    return found


def job(*args, limit=None, **kwargs):
    def limits():
        if limit:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return subprocess.run([*JOB, *map(str, args)], capture_output=True, text=True, preexec_fn=limits, **kwargs)


def npz_input(folder, steps=3, change=None):
    os.makedirs(folder, exist_ok=True)
    for frame in SyntheticSeries(clusters=12, steps=steps, seed=3, duration=0.1).loaders():
        path = os.path.join(folder, f"step_{frame.index}.npz")
        read_npz.save_frame(path, frame.load())
        if change:
            arrays = dict(np.load(path))
            change(frame.index, arrays)
            np.savez(path, **arrays)
    return str(folder)


def spoiled(change):
    return lambda tmp: npz_input(tmp / "in", change=change)


def at_step(index, name, value):
    def change(step, arrays):
        if step == index:
            arrays[name] = value(arrays[name]) if callable(value) else value
    return spoiled(change)


def with_file(name, data):
    def make(tmp):
        folder = npz_input(tmp / "in")
        open(os.path.join(folder, name), "wb").write(data)
        return folder
    return make


def flipped_gzip(tmp):
    text = "".join(f"ITEM: TIMESTEP\n{t}\nITEM: NUMBER OF ATOMS\n200\nITEM: BOX BOUNDS pp pp pp\n0 9\n0 9\n0 9\n"
                   "ITEM: ATOMS id mol mass xu yu zu\n" +
                   "".join(f"{i + 1} {i // 4 + 1} 1.5 {i % 9}.25 {i % 7}.5 {i % 5}.125\n" for i in range(200))
                   for t in range(0, 60, 10))
    data = bytearray(gzip.compress(text.encode()))
    data[len(data) // 2] ^= 0x10
    path = tmp / "in.dump.gz"
    path.write_bytes(bytes(data))
    return str(path)


def per_processor(tmp):
    """Files that start at the same step, joined as a dump written per processor, whose second step
    holds one atom twice."""
    for piece in range(2):
        (tmp / f"dump.{piece}.lammpstrj").write_text("".join(
            f"ITEM: TIMESTEP\n{t}\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS pp pp pp\n0 9\n0 9\n0 9\n"
            f"ITEM: ATOMS id mol mass xu yu zu\n{1 + piece * (t == 0)} 1 1.5 {piece}.5 1 1\n" for t in (0, 10)))
    return str(tmp / "dump.*.lammpstrj")


def tilted(tmp):
    (tmp / "tilted.dump").write_text("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS xy xz yz pp pp pp\n"
                                     "0 9 1\n0 9 0\n0 9 0\nITEM: ATOMS id mol mass xu yu zu\n1 1 1.5 1 1 1\n")
    return str(tmp / "tilted.dump")


NPZ = lambda tmp: npz_input(tmp / "in")
NAN = float("nan")
# name: (input maker, extra arguments, exit status, text of the one line, file-size limit)
CASES = {
    "dump names the input": (NPZ, ["--lammps-dump", "{input}/step_1.npz", "--overwrite"], 1, "lies in the input folder", None),
    "dump exists": (NPZ, ["--lammps-dump", "{tmp}/old.dump"], 1, "exists; give --overwrite", None),
    "dump names the series": (NPZ, ["--lammps-dump", "{out}/upscaled.pvd", "--overwrite"], 1, "series' own files", None),
    "out holds the input": (lambda tmp: npz_input(tmp / "out" / "in"), [], 1, "holds the input", None),
    # A .pvd elsewhere whose data files are an earlier series' in --out.
    "out holds a pvd's files": (lambda tmp: (tmp / "series.pvd").write_text(
        (tmp / "out" / "upscaled.pvd").read_text().replace('file="', 'file="out/')) and str(tmp / "series.pvd"),
        [], 1, "holds the input", None),
    "disk full": (NPZ, [], 1, "could not write", 4096),
    # Step files of 8.5 KB fit, the 14 KB picture does not.
    "disk full at the picture": (NPZ, [], 1, "error: could not write {tmp}/.out.vireo20-partial/upscaled.png: File too",
                                 10000),
    "read-only place": (NPZ, ["--out", "/proc/vireo20-out"], 1, "cannot write beside /proc/vireo20-out", None),
    "dump in a read-only place": (NPZ, ["--lammps-dump", "/proc/vireo20/up.dump"], 1,
                                  "--lammps-dump /proc/vireo20/up.dump: cannot make its folder", None),
    "damaged gzip": (flipped_gzip, [], 1, "in.dump.gz", None),
    "time goes back": (spoiled(lambda k, a: a.update(timestep=np.array(1000 - k))),
                       ["--lammps-dump", "{tmp}/old.dump", "--overwrite"], 1,
                       "step 999: array 'timestep': the series goes back in time", None),
    # Named as a series' file, but not one the series that --out holds lists.
    "a file of the user's in out": (lambda tmp: (tmp / "out" / "upscaled.csv").write_text("mine") and NPZ(tmp), [], 1,
                                    "holds files that are not part of an upscaled series (upscaled.csv)", None),
    "dump named as the input's": (per_processor, ["--lammps-dump", "{tmp}/dump.up.lammpstrj"], 1,
                                  "is named as the input's files", None),
    # Another run's working folder: that run would remove what this one wrote.
    "out a partial folder": (NPZ, ["--out", "{tmp}/.other.vireo20-partial"], 1, "the job's own working files", None),
    "dump in a partial folder": (NPZ, ["--lammps-dump", "{tmp}/.other.vireo20-partial/up.dump"], 1,
                                 "the job's own working files", None),
    "dump name too long": (NPZ, ["--lammps-dump", "{tmp}/" + "d" * 250], 1, "the name is too long", None),
    "averaged array gone": (spoiled(lambda k, a: a.pop("value_velocity") if k == 1 else None), ["--time-average", "3"],
                            1, "step 100: array 'velocity': the time averages' columns are the first step's", None),
    "bins of a tilted box": (tilted, ["--bin", "x:1"], 1,
                             "array 'BOX BOUNDS': bins of a tilted box are made in reduced units", None),
    "pieces share an atom": (per_processor, [], 1, "dump.1.lammpstrj: step 10: array 'id': atom id 1 is also in", None),
    "timestep text": (at_step(1, "timestep", np.array('1"2')), [], 1, "array 'timestep': values of type", None),
    "timestep of two": (at_step(1, "timestep", np.array([1, 2])), [], 1, "expected a single value", None),
    "nan timestep": (at_step(1, "timestep", np.array(NAN)), [], 1, "'timestep': nan is not a finite number", None),
    "nan mass": (at_step(2, "masses", lambda m: np.r_[m[:-1], NAN]), [], 1, "'masses': value nan on row", None),
    "zero mass": (at_step(2, "masses", lambda m: np.r_[0.0, m[1:]]), [], 1, "is not a positive finite number", None),
    "infinite position": (at_step(1, "coords", lambda c: np.r_[c[:-1], [[0, np.inf, 0]]]), [], 1,
                          "'positions': value", None),
    "box of three": (at_step(1, "box", np.zeros(3)), [], 1, "array 'box': shape (3,), expected (2, 3)", None),
    "pickled array": (at_step(1, "timestep", np.array([{}], dtype=object)), [], 1, "pickled", None),
    "empty step file": (with_file("step_9.npz", b""), [], 1, "not a readable .npz file", None),
    "id beyond 32 bits": (spoiled(lambda k, a: a.update(parents=np.r_[a["parents"][:-1], 3_000_000_000])), [], 1,
                          "array 'parents': id 3000000000", None),
    "no steps": (lambda tmp: os.makedirs(tmp / "empty") or str(tmp / "empty"), [], 1, "holds no step files this job reads", None),
    "a pipe": (lambda tmp: os.mkfifo(tmp / "pipe.dump") or str(tmp / "pipe.dump"), [], 1, "is a pipe or a device", None),
    "workers -1": (NPZ, ["--workers", "-1"], 2, "argument --workers: must be 0 or more", None),
    "shape without physics": (NPZ, ["--shape", "--physics", "none"], 2, "--shape needs --physics basic or all", None),
    "steps for an input": (NPZ, ["--steps", "3"], 2, "--steps applies to the built-in data set only", None),
    "picture out of range": (NPZ, ["--picture-step", "99"], 2, "--picture-step 99 is outside the series of 3", None),
    "frames step 0": (NPZ, ["--frames", "0:3:0"], 2, "cannot be 0", None),
    "frames backwards": (NPZ, ["--frames", "::-2"], 2, "the steps go forward in time; STEP cannot be negative", None),
    # A slice from the end is the option's value, not an option of its own.
    "frames from the end, step 0": (NPZ, ["--frames", "-2::0"], 2, "cannot be 0", None),
    "frames past the end": (NPZ, ["--frames", "9:", "--picture-step", "-1"], 1,
                            "the input holds no steps that --frames 9: selects", None),
}


@pytest.mark.parametrize("option, named, stopped_at", [("--time-average 1", "profile.txt", "profile.txt"),
                                                        ("--table", "upscaled.csv", "upscaled.csv.part")])
def test_a_run_stopped_by_a_full_disk_at_its_profile_or_table_resumes_to_the_same_bytes(tmp_path, option, named,
                                                                                      stopped_at):
    """Step files of 9.3 KB fit under the limit; the time averages' profile outgrows it at the 14th
    step, part of its block written, or the table once every step is. The resumed run cuts the
    profile back, or writes the table again, and ends as a run never stopped."""
    source, options = npz_input(tmp_path / "in", steps=16), [*option.split(), "--no-picture"]
    assert job(source, "--out", tmp_path / "whole", *options).returncode == 0
    stopped = job(source, "--out", tmp_path / "out", *options, limit=10240)
    assert stopped.returncode == 1 and f"partial/{named}: File too large" in stopped.stderr, stopped.stderr
    assert os.path.getsize(tmp_path / ".out.vireo20-partial" / stopped_at) == 10240
    resumed = job(source, "--out", tmp_path / "out", *options, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    written, expected = tree(tmp_path / "out"), tree(tmp_path / "whole")
    for files in (written, expected):
        files.pop("summary.csv")   # its seconds
    assert written == expected
    if option == "--table":
        # An input written again at its size and time (a simulation run again, copied back with cp -p)
        # is another input: its steps kept would be the old one's.
        stopped = job(source, "--out", tmp_path / "again", *options, limit=10240)
        first, kept = os.path.join(source, "step_0.npz"), os.stat(os.path.join(source, "step_0.npz"))
        arrays = dict(np.load(first))
        np.savez(first, **{name: values[::-1] if values.ndim else values for name, values in arrays.items()})
        os.utime(first, ns=(kept.st_atime_ns, kept.st_mtime_ns))
        assert os.path.getsize(first) == kept.st_size
        refused = job(source, "--out", tmp_path / "again", *options, "--resume")
        assert refused.returncode == 1 and f"other input or options ({first} changed)" in refused.stderr, refused.stderr


@pytest.fixture(scope="module")
def previous(tmp_path_factory):
    """A finished series from an earlier run, which every failed run must leave as it was."""
    folder = tmp_path_factory.mktemp("previous")
    done = job(npz_input(folder / "in"), "--out", folder / "out")
    assert done.returncode == 0, done.stderr
    return folder / "out"


@pytest.mark.parametrize("case", CASES)
def test_a_failed_run_changes_nothing(tmp_path, previous, case):
    make_input, extra, status, message, limit = CASES[case]
    out = tmp_path / "out"
    if case != "out holds the input":
        os.system(f"cp -a {previous} {out}")
    (tmp_path / "old.dump").write_text("mine\n")
    source = make_input(tmp_path)
    before_out, before_in = tree(out), tree(tmp_path / "in") if (tmp_path / "in").exists() else {}
    extra = [a.format(input=source, tmp=tmp_path, out=out) for a in extra]
    done = job(source, *(["--out", out] if "--out" not in extra else []), *extra, limit=limit)
    lines = done.stderr.strip().splitlines()
    # Usage errors end argparse's way: the usage, then one line.
    assert done.returncode == status and (len(lines) == 1 or status == 2), done.stderr
    assert message.format(tmp=tmp_path) in lines[-1], done.stderr
    assert tree(out) == before_out
    # A partial folder is left, and offered, only where a step was finished in it.
    partial = tmp_path / ".out.vireo20-partial"
    assert partial.is_dir() == ("--resume" in lines[-1]) == (partial / "upscaled_000000.vtp").exists()
    if before_in:
        assert tree(tmp_path / "in") == before_in
    assert (tmp_path / "old.dump").read_text() == "mine\n"


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ASan's operator new reports a failed allocation and ends the process by design")
def test_a_run_out_of_memory_says_so_and_changes_nothing(tmp_path, previous):
    out = tmp_path / "out"
    os.system(f"cp -a {previous} {out}")
    before = tree(out)
    # Everything a step loads is loaded first; then the address space is capped 256 MiB above it,
    # which the threads fit in and the steps' arrays do not.
    code = ("import os, resource, sys\nimport vireo20.cli, vireo20.write_vtk\n"
            "from vireo20.upscale import load_modules\nload_modules()\n"
            "held = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')\n"
            "resource.setrlimit(resource.RLIMIT_AS, (held + (256 << 20), resource.RLIM_INFINITY))\n"
            "sys.exit(vireo20.cli.main(sys.argv[1:]))\n")
    done = subprocess.run([sys.executable, "-c", code, "upscale", "--clusters", "400000", "--steps", "2",
                           "--no-picture", "--out", str(out)], capture_output=True, text=True)
    lines = done.stderr.strip().splitlines()
    assert done.returncode == 1 and lines[-1].startswith("vireo20: error: out of memory"), done.stderr
    assert tree(out) == before


def test_a_second_run_into_the_same_folder_is_refused(tmp_path):
    out = tmp_path / "out"
    first = subprocess.Popen([*JOB, "--out", str(out), "--clusters", "100000", "--steps", "10"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not (tmp_path / ".out.vireo20-partial" / "upscaled_000000.vtp").exists() and first.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    second = job(npz_input(tmp_path / "in"), "--out", out)
    assert first.wait() == 0
    assert second.returncode == 1 and "another run is writing into" in second.stderr
    assert len([n for n in os.listdir(out) if n.endswith(".vtp")]) == 10
    # The lock file goes with the run that held it; a lock taken on a removed file is taken again.
    assert not (tmp_path / ".out.vireo20-lock").exists()
    from vireo20 import filesafe
    place, stale = filesafe.Place(out), os.open(tmp_path / ".out.vireo20-lock", os.O_RDWR | os.O_CREAT)
    os.unlink(tmp_path / ".out.vireo20-lock")
    fcntl.flock(stale, fcntl.LOCK_EX)   # as a run that opened the file before its holder removed it
    place.lock()
    assert os.path.exists(place.lock_path)
    place.unlock()
    os.close(stale)


@pytest.mark.parametrize("stop, reductions", [(signal.SIGKILL, []),
                                               (signal.SIGTERM, ["--average", "velocity", "--std", "velocity"])])
def test_a_killed_run_resumes_to_the_bytes_of_an_uninterrupted_one(tmp_path, stop, reductions):
    args = ["--clusters", "4000", "--steps", "12", "--lammps-dump", "{out}/up.dump.gz", "--msd", "--vacf",
            "--time-average", "5", "ave", "running", *reductions]
    clean = job("--out", tmp_path / "clean", *[a.format(out=tmp_path / "clean") for a in args])
    assert clean.returncode == 0, clean.stderr
    out = tmp_path / "out"
    args = [a.format(out=out) for a in args]
    running = subprocess.Popen([*JOB, "--out", str(out), *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    partial = tmp_path / ".out.vireo20-partial"
    deadline = time.monotonic() + 120
    manifest = partial / ".vireo20-manifest.jsonl"
    while not (manifest.exists() and manifest.read_text().count('"step": ') >= 2) and running.poll() is None and \
            time.monotonic() < deadline:
        time.sleep(0.02)
    running.send_signal(stop)
    # SIGTERM (a batch system's) is met as Ctrl-C: the partial folder is named.
    told, code = running.stderr.read().decode(), running.wait()
    assert code == -stop if stop == signal.SIGKILL else code == 143 and f"kept in {partial}" in told, told
    assert not out.exists() and partial.is_dir()
    # The partial series lists none but finished steps, those of the manifest.
    listed = (partial / "upscaled.pvd").read_text().count("<DataSet ")
    finished = manifest.read_text().count('"step": ')
    assert 1 <= listed <= finished
    if stop == signal.SIGKILL:
        # A listed step file damaged since: its checksum no longer matches, so it is written again.
        with open(partial / "upscaled_000001.vtp", "r+b") as damaged:
            damaged.seek(-100, os.SEEK_END)
            byte = damaged.read(1)
            damaged.seek(-1, os.SEEK_CUR)
            damaged.write(bytes([byte[0] ^ 0x10]))
    else:
        # A flipped byte in the second step's mass_before: that line of the manifest and those after it
        # are not trusted.
        journal = manifest.read_bytes()
        at = journal.index(b'"summary": [', journal.index(b'"step"', journal.index(b'"step"') + 1))
        for _ in range(4):
            at = journal.index(b", ", at) + 2
        at += 1   # a digit within the quoted number
        manifest.write_bytes(journal[:at] + bytes([journal[at] ^ 0x01]) + journal[at + 1:])
    # A block appended after the last step the manifest lists, as a kill between the two leaves it,
    # and a line of the manifest's journal cut short, as a kill while it was written leaves it.
    with open(partial / "profile.txt", "ab") as appended:
        appended.write(b"300 1 1\n  1 1 1\n")
    with open(manifest, "ab") as journal:
        journal.write(b'{"step": {"appended": {"profile.txt": 12')
    resumed = job("--out", out, *args, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    written = tree(out)
    expected = tree(tmp_path / "clean")
    for files in (written, expected):
        files.pop("summary.csv")
    assert written == expected
    # The summaries but for their seconds.
    summaries = [np.loadtxt(folder / "summary.csv", delimiter=",", skiprows=1, dtype=str)
                 for folder in (out, tmp_path / "clean")]
    seconds = open(out / "summary.csv").readline().strip().split(",").index("seconds")
    assert (np.delete(summaries[0], seconds, axis=1) == np.delete(summaries[1], seconds, axis=1)).all()
    assert subprocess.run(["gzip", "-t", str(out / "up.dump.gz")]).returncode == 0


def test_a_resume_takes_nothing_of_a_folder_without_a_manifest(tmp_path, previous):
    """The partial folder as a run stopped while it removed the series it replaced leaves it (that
    series, finished, without a manifest): none of its steps may join the resumed run's."""
    source = npz_input(tmp_path / "in", steps=2)
    assert job(source, "--out", tmp_path / "clean").returncode == 0
    os.system(f"cp -a {previous} {tmp_path / '.out.vireo20-partial'}")
    resumed = job(source, "--out", tmp_path / "out", "--resume")
    assert resumed.returncode == 0 and "nothing to resume in" in resumed.stdout, resumed.stderr
    written, expected = tree(tmp_path / "out"), tree(tmp_path / "clean")
    assert written.keys() == expected.keys() and (tmp_path / "out" / ".vireo20-series").read_text() == \
        (tmp_path / "clean" / ".vireo20-series").read_text()
    # One of another run is refused, and not offered again.
    os.makedirs(tmp_path / ".other.vireo20-partial")
    (tmp_path / ".other.vireo20-partial" / ".vireo20-manifest.jsonl").write_bytes(
        output._journal_line({"fingerprint": {"input": 1}}))
    other = job(source, "--out", tmp_path / "other", "--resume")
    assert other.returncode == 1 and other.stderr.strip().endswith("run without --resume to start over"), other.stderr


def test_a_scheduler_that_does_not_answer_is_named(tmp_path):
    pytest.importorskip("distributed")
    with socket.socket() as taken:   # a port no scheduler listens on
        taken.bind(("127.0.0.1", 0))
        address = f"tcp://127.0.0.1:{taken.getsockname()[1]}"
        refused = job(npz_input(tmp_path / "in"), "--out", tmp_path / "out", "--scheduler", address,
                      env={**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    assert refused.returncode == 1 and f"--scheduler {address}: no Dask scheduler answers there" in refused.stderr
    assert not os.path.exists(tmp_path / "out") and not os.path.exists(tmp_path / ".out.vireo20-partial")


def test_out_is_the_folder_a_link_names_and_never_the_current_one(tmp_path):
    source = npz_input(tmp_path / "in", steps=2)
    os.makedirs(tmp_path / "scratch" / "out")
    os.symlink(tmp_path / "scratch" / "out", tmp_path / "out")
    assert job(source, "--out", tmp_path / "out").returncode == 0
    assert os.path.islink(tmp_path / "out") and (tmp_path / "scratch" / "out" / "upscaled.pvd").exists()
    packages = os.path.dirname(os.path.dirname(os.path.abspath(read_npz.__file__)))
    here = job(source, "--out", ".", cwd=tmp_path / "scratch" / "out", env={**os.environ, "PYTHONPATH": packages})
    assert here.returncode == 1 and "is, or holds, the current folder" in here.stderr


@pytest.mark.parametrize("size", [0, 1, (1 << 20) - 1, 1 << 20, (3 << 20) + 7])
def test_the_checksum_of_a_written_file_is_zlibs(tmp_path, size):
    import zlib
    from vireo20 import filesafe
    data = np.random.default_rng(size).integers(0, 256, size, dtype=np.uint8).tobytes()
    (tmp_path / "f").write_bytes(data)
    assert filesafe.file_checksum(tmp_path / "f") == (size, zlib.crc32(data))
    with pytest.raises(FileNotFoundError, match="nope"):
        filesafe.file_checksum(tmp_path / "nope")


def test_a_file_cut_short_after_its_writer_summed_it_is_refused(tmp_path):
    from vireo20 import filesafe
    path = tmp_path / "f"
    path.write_bytes(b"<VTKFile>\n")
    assert filesafe.checked_file(path, b">\n", (10, 1234)) == (10, 1234)
    os.truncate(path, 7)
    with pytest.raises(OSError, match="7 of 10 bytes reached the disk"):
        filesafe.checked_file(path, b">\n", (10, 1234))


# Keys this far apart take the hash tables, which grow with the step (a span table would be smaller).
KEYS = "np.arange(2_000_000, dtype=np.int64) * 829_418_951"
GROUP_PASS_ARGUMENTS = {
    "number_by_first_occurrence": f"({KEYS}, np.empty(2_000_000, np.int32), np.empty(2_000_000, np.int64))",
    "first_repeat": f"({KEYS},)",
    "parents_from_labels": f"({KEYS} + 1, None, np.arange(2_000_000, dtype=np.int32), np.full(2_000_000, -1, np.int32))",
}


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ASan's operator new reports a failed allocation and ends the process by design")
@pytest.mark.parametrize("call", sorted(GROUP_PASS_ARGUMENTS))
def test_a_grouping_pass_out_of_memory_raises_and_the_process_goes_on(call):
    # The address space is capped a few MiB above what the process holds once its inputs are made.
    code = ("import os, resource, numpy as np\nfrom vireo20 import _groups\n"
            f"arguments = {GROUP_PASS_ARGUMENTS[call]}\n"
            "held = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')\n"
            "resource.setrlimit(resource.RLIMIT_AS, (held + (8 << 20), resource.RLIM_INFINITY))\n"
            "try:\n"
            f"    _groups.{call}(*arguments)\n"
            "except MemoryError:\n"
            "    print('MemoryError')\n"
            "resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))\n"
            "print(_groups.first_repeat(np.array([3, 1, 3], np.int64)))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (done.returncode, done.stdout.split()) == (0, ["MemoryError", "2"]), done.stderr


def test_an_msd_run_over_wrapped_positions_is_not_offered_for_a_resume(tmp_path):
    """Its face crossings are not kept: a run stopped after it followed them says it cannot resume, and
    a resume refuses, neither pointing at --resume. (Stopped by a step that goes back in time, found
    after the step's displacements: no race with a signal.)"""
    frame = "ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n0 4\n" \
            "ITEM: ATOMS id mol mass x y z\n1 1 1 0.5 1 1\n2 2 1 {} 1 1\n"
    (tmp_path / "wrapped.dump").write_text("".join(frame.format(step, x) for step, x in
                                                   ((0, 3.5), (10, 0.2), (20, 1.0), (15, 2.0))))
    args = [str(tmp_path / "wrapped.dump"), "--out", str(tmp_path / "out"), "--msd", "--no-picture"]
    for resume in ([], ["--resume"]):
        stopped = job(*args, *resume)
        assert stopped.returncode == 1 and "cannot resume" in stopped.stderr, stopped.stderr
        assert "--resume continues" not in stopped.stderr and "run again with --resume" not in stopped.stderr
