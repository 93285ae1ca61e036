"""VIREO20_THREADS changes how many threads a call uses, never what it returns: one thread and the
default give the same bits for the setup and every reduction and query of a large step, and with one
no thread is ever started (the process's threads are counted from outside while the calls run)."""
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

pytest.importorskip("quill20")

# Builds a large step, writes every result to the .npz named in argv[1], prints the process's thread
# count, then repeats the calls until its standard input closes, for a watcher to count threads.
CHILD = textwrap.dedent("""
    import os, select, sys
    import numpy as np, quill20, _vireo20upscaling

    rng = np.random.default_rng(5)
    n, trailing = 3_000_000, 11
    parents = np.where(rng.random(n) < 0.25, -1, rng.integers(0, n, n)).astype(np.int32)
    enabled = rng.permutation(n)[: n * 9 // 10].astype(np.int32)
    rows = rng.normal(size=len(enabled) + trailing)
    codes = rng.integers(-2**31, 2**31 - 1, len(enabled) + trailing).astype(np.int32)
    masses = quill20.array(rng.uniform(0.5, 2.0, n))
    coordinates = quill20.array(rng.normal(size=(len(enabled) + trailing, 3)))
    ids = rng.integers(-5, n + 5, 2_000_000).astype(np.int32)
    kinds = rng.integers(0, 2, len(ids)).astype(np.int32)
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents))

    def results():
        generator.SetParticlesEnabledIndexes(3, quill20.array(enabled), trailing)
        topology = generator.CreateParticlesTopology()
        geometry = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(coordinates, trailing), masses)
        return dict(
            elements=generator.GetElementParticlesIndexes().to_numpy(),
            sum=generator.Sum(quill20.grid_function(rows)).to_numpy(),
            take_float=generator.TakeAny(quill20.grid_function(rows)).to_numpy(),
            take_int=generator.TakeAny(quill20.grid_function(codes, dtype="int32")).to_numpy(),
            average=generator.WeightedAverage(quill20.grid_function(rows), masses).to_numpy(),
            coordinates=generator.CoordsWeightedAverage(coordinates, masses).to_numpy(),
            points=np.array(geometry.points_source.coordinates.to_numpy()),
            particle_ids=generator.GetParticleIds().to_numpy(),
            contacts_from=generator.GetContactParentIDFrom(quill20.grid_function(ids.copy(), dtype="int32")).to_numpy(),
            contacts_to=generator.GetContactParentIDTo(quill20.grid_function(ids.copy(), dtype="int32"),
                                                       quill20.grid_function(kinds, dtype="int32")).to_numpy(),
        )

    np.savez(sys.argv[1], **results())
    print(len(os.listdir("/proc/self/task")), flush=True)
    while not select.select([sys.stdin], [], [], 0)[0]:
        results()
""")


def run_and_watch(threads, output, seconds=3.0):
    """Runs the child with VIREO20_THREADS=threads (None: unset); returns its thread count before the
    repeated calls and the largest count seen while they ran."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    env.pop("VIREO20_THREADS", None)
    if threads is not None:
        env["VIREO20_THREADS"] = str(threads)
    child = subprocess.Popen([sys.executable, "-c", CHILD, str(output)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=env)
    try:
        before = int(child.stdout.readline())
        largest, tasks, end = before, f"/proc/{child.pid}/task", time.monotonic() + seconds
        while time.monotonic() < end and child.poll() is None:
            try:
                largest = max(largest, len(os.listdir(tasks)))
            except FileNotFoundError:
                break
        child.stdin.close()
        assert child.wait(timeout=300) == 0
    finally:
        if child.poll() is None:
            child.kill()
    return before, largest


def test_one_thread_gives_the_same_bits_and_starts_no_thread(tmp_path):
    alone, shared = tmp_path / "alone.npz", tmp_path / "shared.npz"
    before, largest = run_and_watch(1, alone)
    assert largest == before, "VIREO20_THREADS=1 started a thread"
    before_shared, largest_shared = run_and_watch(None, shared)
    if len(os.sched_getaffinity(0)) > 1:
        assert largest_shared > before_shared, "the watcher sees the threads of a default run"
    one, default = np.load(alone), np.load(shared)
    assert sorted(one.files) == sorted(default.files)
    for name in one.files:
        assert one[name].dtype == default[name].dtype and one[name].shape == default[name].shape, name
        assert one[name].tobytes() == default[name].tobytes(), name


# Reads the first frame of a gzip dump and prints the threads alive while the reader is open (its
# inflating thread is then waiting for the reader, the text being larger than the pieces it fills
# ahead) and the frame's positions.
GZIP_CHILD = textwrap.dedent("""
    import gzip, os, sys
    import numpy as np, vireo20
    rows = "".join(f"{k + 1} {k // 3 + 1} 1 1.5 {k * 0.25} {k * 0.5} {-k * 0.125}\\n" for k in range(200000))
    with gzip.open(sys.argv[1], "wt", compresslevel=1) as dump:
        for step in range(0, 80, 10):
            dump.write(f"ITEM: TIMESTEP\\n{step}\\nITEM: NUMBER OF ATOMS\\n200000\\nITEM: BOX BOUNDS pp pp pp\\n"
                       f"0 1e4\\n0 1e4\\n0 1e4\\nITEM: ATOMS id mol type mass xu yu zu\\n{rows}")
    frames = iter(vireo20.open(sys.argv[1]))
    first = next(frames)
    print(len(os.listdir("/proc/self/task")), float(np.asarray(first.positions).sum()), len(list(frames)))
""")


@pytest.mark.parametrize("threads", ["1", "2"])
def test_a_gzip_dump_is_inflated_on_the_calling_thread_when_one_is_allowed(tmp_path, threads):
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", VIREO20_THREADS=threads)
    done = subprocess.run([sys.executable, "-c", GZIP_CHILD, str(tmp_path / "a.dump.gz")], env=env,
                          capture_output=True, text=True, check=True)
    tasks, total, rest = done.stdout.split()
    assert (int(tasks) == 1) == (threads == "1") and int(rest) == 7
    assert float(total) == sum(k * 0.25 + k * 0.5 - k * 0.125 for k in range(200000))


@pytest.mark.parametrize("call", ["Sum", "TakeAny", "WeightedAverage", "CoordsWeightedAverage", "group_moments"])
def test_a_new_step_from_another_thread_never_changes_what_a_reduction_reads(call):
    """The generator's calls keep the interpreter lock: another thread's new step waits for them. The
    job's group moments let go of it: the other thread runs meanwhile, making and dropping arrays and
    NumPy views of them (the registries the results join), and its new step is refused while they
    read the current one. Every result is that of the call alone."""
    import threading

    import quill20
    import _vireo20upscaling
    from vireo20 import _physics

    rng = np.random.default_rng(9)
    n = 2_000_000
    parents = np.where(rng.random(n) < 0.3, -1, rng.integers(0, n, n)).astype(np.int32)
    enabled = quill20.array(np.arange(n, dtype=np.int32))
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents))
    generator.SetParticlesEnabledIndexes(0, enabled, 0)
    masses, positions = rng.uniform(0.5, 2.0, n), rng.normal(size=(n, 3))
    grid = quill20.grid_function(rng.normal(size=n))
    centres = generator.CoordsWeightedAverage(quill20.array(positions), quill20.array(masses)).to_numpy()
    calls = {
        "Sum": lambda: generator.Sum(grid).to_numpy(),
        "TakeAny": lambda: generator.TakeAny(grid).to_numpy(),
        "WeightedAverage": lambda: generator.WeightedAverage(grid, quill20.array(masses)).to_numpy(),
        "CoordsWeightedAverage": lambda: generator.CoordsWeightedAverage(quill20.array(positions),
                                                                         quill20.array(masses)).to_numpy(),
        "group_moments": lambda: _physics.group_moments(generator, centres, positions, masses,
                                                        velocities=positions)["inertia"],
    }
    expected = calls[call]()
    refused, done = [], threading.Event()

    def meddle():
        small = np.arange(64.0)
        while not done.is_set():
            views = [np.asarray(quill20.array(small * k)) for k in range(32)]
            assert all(view[1] == k for k, view in enumerate(views))
            del views
            try:
                generator.SetParticlesEnabledIndexes(0, enabled, 0)
            except RuntimeError as error:
                refused.append(str(error))

    other = threading.Thread(target=meddle)
    other.start()
    try:
        # The generator's calls and the other thread's steps take turns: a few rounds show it.
        for _ in range(20 if call == "group_moments" else 3):
            np.testing.assert_array_equal(calls[call](), expected)
            if refused:
                break
    finally:
        done.set()
        other.join()
    if call == "group_moments":
        assert set(refused) == {"the generator is in use: another thread is reducing its current step"}
    else:
        assert not refused
