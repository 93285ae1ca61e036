"""Every upscaling operation beside what a user would write instead, in one table.

For each operation at 1 and 10 million source particles (clusters of 1 to 8, about 90% enabled, in
shuffled order, 1000 trailing entries): the time of MPUpscalingGenerator, of the best NumPy formulation
and of the pandas formulation of the same result, the ratios, the ratio to a memory floor (the time to
stream the bytes the operation must read and write, or for an operation that must gather, of np.take
over the same index pattern) and the peak resident memory the call added. An operation the generator
does not offer yet shows "n/a". The C++ engine benchmarks (setup_bench, no Python), the cost of one
Python call and the element-access ratios of array_bench join the same table, which also goes to
<build>/bench/results.json.

    PYTHONPATH=build/python /usr/bin/python3 bench/upscaling_bench.py [--build-dir build] [--sizes 1e6,1e7]
"""
import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time
import timeit

import numpy as np

import quill20
import _vireo20upscaling

try:
    from vireo20 import _physics
except ImportError:  # the row shows n/a
    _physics = None

try:
    import pandas as pd
except ImportError:  # the table says so instead of failing
    pd = None

TRAILING = 1000
SEED = 20261206


# ---------------------------------------------------------------------------------------------------
# Data


class Step:
    """One time step: parents of every source particle, the enabled list and per-entry data, plus the
    NumPy user's own grouping (codes by first occurrence), which the NumPy and pandas rows start from."""

    def __init__(self, particles):
        rng = np.random.default_rng(SEED)
        sizes = rng.integers(1, 9, size=particles // 2 + 8)
        starts = np.cumsum(sizes) - sizes
        starts = starts[starts < particles]
        cluster_of_slot = np.zeros(particles, dtype=np.int64)
        cluster_of_slot[starts[1:]] = 1
        cluster_of_slot = np.cumsum(cluster_of_slot)
        ids = rng.permutation(particles).astype(np.int32)
        parents = ids[starts][cluster_of_slot]
        parents = parents.astype(np.int32)
        table = np.empty(particles, dtype=np.int32)
        table[ids] = parents
        table[ids[starts]] = -1
        self.particles = particles
        self.parents = table
        enabled = np.flatnonzero(rng.random(particles) < 0.9).astype(np.int32)
        rng.shuffle(enabled)
        self.enabled = enabled
        e_count = enabled.size
        self.e_count = e_count
        entries = e_count + TRAILING
        self.values = rng.random(entries)
        self.coords = rng.random((entries, 3))
        # Masses belong to source particles; the trailing entries pass through, as if of mass 1.
        self.masses = rng.random(particles) + 0.5
        self.contact_ids = rng.integers(0, particles, size=e_count, dtype=np.int32)
        # The NumPy user's grouping, computed once (its cost is the setup row).
        self.parent_ids = parent_ids(table, enabled)
        codes, first = dense_first_occurrence(self.parent_ids, particles)
        self.u_count = first.size
        self.codes = np.concatenate([codes, np.arange(self.u_count, self.u_count + TRAILING)]).astype(np.int64)
        self.first = first
        self.order = np.argsort(codes, kind="stable").astype(np.int32)
        last = np.empty(self.u_count, dtype=np.int64)
        last[codes] = np.arange(e_count)  # NumPy writes repeated indexes in order: the last one stays
        self.last = last
        self.outputs = self.u_count + TRAILING


def parent_ids(parents, enabled):
    own = parents[enabled]
    return np.where(own < 0, enabled, own)


def dense_first_occurrence(pid, particles):
    """Codes numbered by first occurrence through a dense table over the ids: the fast NumPy way."""
    e_count = pid.size
    first_of_id = np.empty(particles, dtype=np.int32)
    # Assignment in reverse leaves each id's smallest position (NumPy writes repeated indexes in order).
    first_of_id[pid[::-1]] = np.arange(e_count - 1, -1, -1, dtype=np.int32)
    first_of_entry = first_of_id[pid]
    is_first = first_of_entry == np.arange(e_count, dtype=np.int32)
    rank = np.cumsum(is_first, dtype=np.int32) - 1
    return rank[first_of_entry], np.flatnonzero(is_first)


def unique_first_occurrence(pid):
    """The sort-based grouping: np.unique, renumbered by first occurrence."""
    _, first, inverse = np.unique(pid, return_index=True, return_inverse=True)
    rank = np.empty(first.size, dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(first.size)
    return rank[inverse]


# ---------------------------------------------------------------------------------------------------
# Measurement


def read_status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak():
    """Restarts the kernel's peak resident-size count (VmHWM) at the current size."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def peak_of(run):
    """Peak resident memory one call adds; None where the kernel cannot restart the count."""
    gc.collect()
    base = read_status("VmRSS:")
    restarted = reset_peak()
    result = run()
    peak = max(0, read_status("VmHWM:") - base) if restarted else None
    del result
    return peak


def best_times(runs, repeats):
    """Best time of each callable over `repeats` rounds after a warm-up. The callables take turns within
    a round, so load from other processes on the machine falls on all of them alike."""
    best = {}
    for label, run in runs.items():
        run()
        best[label] = float("inf")
    for _ in range(repeats):
        for label, run in runs.items():
            start = time.perf_counter()
            result = run()
            best[label] = min(best[label], time.perf_counter() - start)
            del result
    return best


def stream_floor(total_bytes):
    """Moving total_bytes through memory: a copy reads half and writes half."""
    half = max(1, int(total_bytes) // 2)
    source = np.ones(half, dtype=np.uint8)
    target = np.empty_like(source)
    return lambda: np.copyto(target, source)


def take_floor(values, index):
    """np.take over an index pattern, into memory already there."""
    out = np.empty((index.size,) + values.shape[1:], dtype=values.dtype)
    return lambda: np.take(values, index, axis=0, out=out, mode="clip")  # "raise" would buffer the output


# ---------------------------------------------------------------------------------------------------
# Operations: each row has the module call (None when the generator lacks it), NumPy formulations
# (the fastest counts), the pandas formulation and the floor.


def make_rows(step, generator):
    """(name, module callable or None, {label: numpy callable}, pandas callable or None, [floor parts,
    each a callable, their times added], comparison of module and NumPy results or None)."""
    s = step
    has = lambda name: hasattr(generator, name)
    enabled_array = quill20.array(s.enabled, dtype="int32")
    gf = getattr(quill20, "grid_function", None)
    values_gf = gf(s.values, "float64") if gf else None
    ids_gf = gf(s.contact_ids, "int32") if gf else None
    rows = []

    def setup_module():
        generator.SetParticlesEnabledIndexes(0, enabled_array, TRAILING)

    def pandas_setup():
        return pd.factorize(parent_ids(s.parents, s.enabled), sort=False)[0]

    setup_floor = [take_floor(s.parents, s.enabled), stream_floor(4 * s.e_count + 8 * s.u_count)]
    rows.append(("setup", setup_module,
                 {"dense table": lambda: dense_first_occurrence(parent_ids(s.parents, s.enabled), s.particles)[0]},
                 pandas_setup, setup_floor, None))
    rows.append(("setup vs np.unique", setup_module,
                 {"np.unique": lambda: unique_first_occurrence(parent_ids(s.parents, s.enabled))},
                 None, setup_floor, None))
    setup_module()

    rows.append(("element indexes",
                 (lambda: generator.GetElementParticlesIndexes()) if has("GetElementParticlesIndexes") else None,
                 {"codes + trailing": lambda: np.concatenate(
                     [s.codes[:s.e_count].astype(np.int32), np.arange(s.u_count, s.u_count + TRAILING, dtype=np.int32)])},
                 (lambda: pd.Series(s.codes).to_numpy(dtype=np.int32)) if pd else None,
                 [take_floor(s.codes[:s.e_count].astype(np.int32), s.order)],
                 lambda: np.array_equal(generator.GetElementParticlesIndexes().to_numpy(), s.codes)))

    pid = s.parent_ids
    trailing_ids = np.arange(s.particles, s.particles + TRAILING, dtype=np.int32)

    # From the live parent table and enabled list, as the module reads them (they may change after setup).
    def numpy_ids():
        members = s.enabled[s.first]
        own = s.parents[members]
        return np.concatenate([np.where(own < 0, members, own), trailing_ids])
    rows.append(("particle ids", (lambda: generator.GetParticleIds()) if has("GetParticleIds") else None,
                 {"ids at first positions": numpy_ids},
                 (lambda: np.concatenate([pd.Series(pid).groupby(s.codes[:s.e_count], sort=False).first().to_numpy(),
                                          trailing_ids])) if pd else None,
                 [take_floor(s.parents, s.enabled[s.first])],
                 lambda: np.array_equal(generator.GetParticleIds().to_numpy(), numpy_ids())))

    def numpy_contacts():
        own = s.parents[s.contact_ids]
        return np.where(own < 0, s.contact_ids, own)

    def pandas_contacts():
        own = pd.Series(s.parents).iloc[s.contact_ids].to_numpy()
        return np.where(own < 0, s.contact_ids, own)

    rows.append(("contact remapping",
                 (lambda: generator.GetContactParentIDFrom(ids_gf)) if has("GetContactParentIDFrom") and gf else None,
                 {"take + where": numpy_contacts}, pandas_contacts if pd else None,
                 [take_floor(s.parents, s.contact_ids)],
                 lambda: np.array_equal(generator.GetContactParentIDFrom(ids_gf).to_numpy(), numpy_contacts())))

    masses_array = quill20.array(s.masses, dtype="float64")
    coords_array = quill20.array(s.coords, dtype="float64")
    mass_pattern = s.enabled[s.order]  # the masses a block-by-block pass reads, in its order
    reduce_floor = [take_floor(s.values, s.order)]
    bincount_sum = lambda: np.bincount(s.codes, weights=s.values, minlength=s.outputs)
    rows.append(("sum", (lambda: generator.Sum(values_gf)) if has("Sum") and gf else None,
                 {"bincount": bincount_sum},
                 (lambda: pd.Series(s.values).groupby(s.codes, sort=False).sum().to_numpy()) if pd else None,
                 reduce_floor,
                 lambda: np.array_equal(generator.Sum(values_gf).to_numpy(), bincount_sum())))

    # The generator takes the last position of each block.
    last_all = np.concatenate([s.last, np.arange(s.e_count, s.e_count + TRAILING)])
    rows.append(("take-any", (lambda: generator.TakeAny(values_gf)) if has("TakeAny") and gf else None,
                 {"values at last positions": lambda: s.values[last_all]},
                 (lambda: pd.Series(s.values).groupby(s.codes, sort=False).last().to_numpy()) if pd else None,
                 [take_floor(s.values, last_all)],
                 lambda: np.array_equal(generator.TakeAny(values_gf).to_numpy(), s.values[last_all])))

    # Masses come per source particle, as the module gets them, so gathering them is part of the work.
    def entry_masses():
        return np.concatenate([s.masses[s.enabled], np.ones(TRAILING)])

    def numpy_weighted():
        masses = entry_masses()
        return np.bincount(s.codes, weights=s.values * masses, minlength=s.outputs) / np.bincount(
            s.codes, weights=masses, minlength=s.outputs)

    def pandas_weighted():
        masses = entry_masses()
        frame = pd.DataFrame({"vm": s.values * masses, "m": masses})
        sums = frame.groupby(s.codes, sort=False).sum()
        return (sums["vm"] / sums["m"]).to_numpy()

    rows.append(("weighted average",
                 (lambda: generator.WeightedAverage(values_gf, masses_array)) if has("WeightedAverage") and gf else None,
                 {"two bincounts": numpy_weighted}, pandas_weighted if pd else None,
                 reduce_floor + [take_floor(s.masses, mass_pattern)],
                 lambda: np.array_equal(generator.WeightedAverage(values_gf, masses_array).to_numpy(), numpy_weighted())))

    def numpy_coords():
        masses = entry_masses()
        total = np.bincount(s.codes, weights=masses, minlength=s.outputs)
        return np.stack([np.bincount(s.codes, weights=s.coords[:, k] * masses, minlength=s.outputs) / total
                         for k in range(3)], axis=1)

    def pandas_coords():
        masses = entry_masses()
        frame = pd.DataFrame(s.coords * masses[:, None], columns=["x", "y", "z"])
        frame["m"] = masses
        sums = frame.groupby(s.codes, sort=False).sum()
        return sums[["x", "y", "z"]].to_numpy() / sums["m"].to_numpy()[:, None]

    coords_floor = [take_floor(s.coords, s.order), take_floor(s.masses, mass_pattern)]
    rows.append(("coordinate average",
                 (lambda: generator.CoordsWeightedAverage(coords_array, masses_array))
                 if has("CoordsWeightedAverage") else None,
                 {"four bincounts": numpy_coords}, pandas_coords if pd else None, coords_floor,
                 lambda: np.array_equal(generator.CoordsWeightedAverage(coords_array, masses_array).to_numpy(),
                                        numpy_coords())))

    # The job's per-member passes: a 6-component value's average (a per-atom stress), and each
    # group's count of distinct values of a column of small integers (its molecules).
    tensor = np.ascontiguousarray(np.tile(s.coords, 2))
    weights, labels = entry_masses(), np.floor(s.values * 16)

    def numpy_average6():
        total = np.bincount(s.codes, weights=weights, minlength=s.outputs)
        return np.stack([np.bincount(s.codes, weights=tensor[:, k] * weights, minlength=s.outputs) / total
                         for k in range(6)], axis=1)

    def pandas_average6():
        sums = pd.DataFrame(np.column_stack([tensor * weights[:, None], weights])).groupby(s.codes, sort=False).sum()
        return sums.to_numpy()[:, :6] / sums.to_numpy()[:, 6:]

    rows.append(("average of 6 components", (lambda: _physics.group_average(generator, tensor, weights))
                 if _physics else None, {"seven bincounts": numpy_average6}, pandas_average6 if pd else None,
                 [take_floor(tensor, s.order)],
                 lambda: np.allclose(_physics.group_average(generator, tensor, weights), numpy_average6(),
                                     rtol=1e-12)))

    def numpy_distinct():
        pairs = np.unique(s.codes * 16 + labels.astype(np.int64))
        return np.bincount(pairs // 16, minlength=s.outputs)

    rows.append(("distinct values", (lambda: _physics.group_distinct(generator, labels)) if _physics else None,
                 {"np.unique of pairs": numpy_distinct},
                 (lambda: pd.Series(labels).groupby(s.codes, sort=False).nunique()) if pd else None,
                 [take_floor(labels, s.order)],
                 lambda: np.array_equal(_physics.group_distinct(generator, labels), numpy_distinct())))

    # Every per-group array about the centres, with velocities and forces: against the coordinate
    # average it follows (the note gives the ratio) and the bincounts a NumPy user would write.
    # The module reads the very memory the coordinate average reads (the job hands both the same
    # arrays), and velocities and forces from arrays made the same way: the NumPy arrays of the Step
    # need not sit on huge pages, and a random gather over 4 KiB pages costs more.
    centres = generator.CoordsWeightedAverage(coords_array, masses_array).to_numpy()
    velocities_array = quill20.array(s.coords[::-1], dtype="float64")
    forces_array = quill20.array(s.coords[:, ::-1], dtype="float64")
    velocities, forces = velocities_array.to_numpy(), forces_array.to_numpy()
    coords_view, masses_view = coords_array.to_numpy(), masses_array.to_numpy()

    def module_moments():
        return _physics.group_moments(generator, centres, coords_view, masses_view, velocities=velocities,
                                      forces=forces)

    def numpy_moments():
        e_count, u = s.e_count, s.u_count
        codes, masses = s.codes[:e_count], s.masses[s.enabled]
        d = s.coords[:e_count] - centres[codes]
        md = d * masses[:, None]
        add = lambda weights: np.bincount(codes, weights=weights, minlength=u)
        count = np.bincount(codes, minlength=u)
        total = add(masses)
        second = np.stack([add(md[:, a] * d[:, b]) for a, b in ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))], 1)
        momentum = np.cross(md, velocities[:e_count])
        torque = np.cross(d, forces[:e_count])
        angmom = np.stack([add(momentum[:, k]) for k in range(3)], 1)
        torques = np.stack([add(torque[:, k]) for k in range(3)], 1)
        trace = second[:, :3].sum(1)
        tensor = np.empty((u, 3, 3))
        tensor[:, [0, 1, 2], [0, 1, 2]] = trace[:, None] - second[:, :3]
        tensor[:, 0, 1] = tensor[:, 1, 0] = -second[:, 3]
        tensor[:, 0, 2] = tensor[:, 2, 0] = -second[:, 4]
        tensor[:, 1, 2] = tensor[:, 2, 1] = -second[:, 5]
        solvable = (count > 1) & (np.linalg.det(tensor) > 1e-6)
        omega = np.zeros((u, 3))
        omega[solvable] = np.linalg.solve(tensor[solvable], angmom[solvable][:, :, None])[:, :, 0]
        return count, np.sqrt(trace / total), second / total[:, None], tensor, angmom, omega, torques

    def same_moments():
        got, want = module_moments(), numpy_moments()
        u = s.u_count
        return (np.array_equal(got["count"][:u], want[0])
                and np.allclose(got["radius_of_gyration"][:u], want[1], rtol=1e-9, atol=0)
                and np.allclose(got["torque"][:u], want[6], rtol=1e-9, atol=1e-12))

    moments_floor = coords_floor + [take_floor(velocities, s.order), take_floor(forces, s.order)]
    rows.append(("group moments", module_moments if _physics else None, {"bincounts + solve": numpy_moments},
                 None, moments_floor, same_moments if _physics else None))

    count = s.outputs
    rows.append(("particles topology",
                 (lambda: generator.CreateParticlesTopology()) if has("CreateParticlesTopology") else None,
                 {"two aranges": lambda: (np.arange(count + 1, dtype=np.uint64), np.arange(count, dtype=np.uint64))},
                 (lambda: (pd.RangeIndex(count + 1).to_numpy().astype(np.uint64),
                           pd.RangeIndex(count).to_numpy().astype(np.uint64))) if pd else None,
                 [stream_floor(8 * (2 * count + 1))], None))

    def module_geometry():
        topology = generator.CreateParticlesTopology()
        points = quill20.ParticlePointsArray(coords_array, TRAILING)
        return generator.CreateParticlesGeometry(topology, points, masses_array)

    rows.append(("particles geometry",
                 module_geometry if has("CreateParticlesGeometry") and has("CreateParticlesTopology") else None,
                 {"four bincounts": numpy_coords}, pandas_coords if pd else None,
                 coords_floor + [stream_floor(8 * (2 * count + 1))], None))

    # Getting per-entry data from NumPy into the library: a copy, and a view of the NumPy buffer.
    rows.append(("input from NumPy, copy", lambda: quill20.array(s.values, dtype="float64"),
                 {"np.copy": lambda: s.values.copy()}, (lambda: pd.Series(s.values, copy=True)) if pd else None,
                 [stream_floor(16 * s.values.size)], None))
    asarray = getattr(quill20, "asarray", None)
    rows.append(("input from NumPy, no copy", (lambda: asarray(s.values)) if asarray else None,
                 {"np.asarray": lambda: np.asarray(s.values)}, (lambda: pd.Series(s.values, copy=False)) if pd else None,
                 [], None))
    return rows


# ---------------------------------------------------------------------------------------------------
# C++ benchmarks and the Python call


def cpp_benchmarks(build_dir):
    """min times (seconds) of setup_bench's runs, keyed by (name, particles)."""
    binary = os.path.join(build_dir, "bench", "setup_bench")
    if not os.path.exists(binary):
        return {}
    out = subprocess.run([binary, "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    times = {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("aggregate_name") == "min":
            name, size = run["run_name"].split("/")[:2]
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
            times[(name, int(size))] = run["real_time"] * scale
    return times


def array_access_report(build_dir):
    """The closing lines of array_bench (element access through arrays against std::vector)."""
    binary = os.path.join(build_dir, "bench", "array_bench")
    if not os.path.exists(binary):
        return []
    out = subprocess.run([binary], check=True, capture_output=True, text=True).stdout.splitlines()
    start = next((k for k, line in enumerate(out) if line.startswith("Array<double,1> / std::vector<double>")), None)
    return [] if start is None else out[start:]


def python_call_cost(generator):
    calls = 1_000_000
    best = min(timeit.repeat(generator.GetNumberOfEnabledParticles, number=calls, repeat=5))
    empty = min(timeit.repeat(lambda: None, number=calls, repeat=5))
    return best / calls, empty / calls


# ---------------------------------------------------------------------------------------------------


def ratio(a, b):
    return a / b if a and b else None


def fmt_time(t):
    if t is None:
        return "n/a"
    return f"{t * 1e3:.1f} ms" if t >= 1e-3 else f"{t * 1e6:.1f} us"


def fmt_ratio(r):
    return "n/a" if r is None else f"{r:.2f}x"


def fmt_mb(b):
    return "n/a" if b is None else f"{b / 2**20:.0f} MB"


def module_peaks(sizes, only):
    """Peak memory of each module call, {"operation|particles": bytes}. Run in a process of its own whose
    allocator hands large freed blocks straight back, so that each call's peak is its own while the
    timings keep the allocator's usual behaviour."""
    peaks = {}
    for particles in sizes:
        step = Step(particles)
        generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(step.parents, dtype="int32"))
        for name, module, _, _, _, _ in make_rows(step, generator):
            if module and (not only or name in only):
                peaks[f"{name}|{particles}"] = peak_of(module)
        del generator, step
        gc.collect()
    return peaks


def cluster_lines(sizes, results):
    """Clusters by distance (an ideal gas at density 0.85, cutoff 0.7: about half the particles alone)
    against what a user would write with SciPy: a periodic k-d tree's pairs, then connected components."""
    from vireo20 import Box
    from vireo20.clustering import Clusters
    try:
        import scipy.sparse
        import scipy.sparse.csgraph
        import scipy.spatial
    except ImportError:
        scipy = None
    rng = np.random.default_rng(SEED)
    lines = []
    for particles in sizes:
        side = (particles / 0.85) ** (1 / 3)
        positions, ids = rng.uniform(0, side, (particles, 3)), np.arange(1, particles + 1)
        step = {"positions": positions, "ids": ids, "box": Box.orthogonal([0, 0, 0], [side] * 3, [True] * 3)}
        runs = {"module": lambda: Clusters(0.7).find(step)[0]}

        def with_scipy():
            pairs = scipy.spatial.cKDTree(positions, boxsize=side).query_pairs(0.7, output_type="ndarray")
            graph = scipy.sparse.coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), (particles,) * 2)
            count, labels = scipy.sparse.csgraph.connected_components(graph, directed=False)
            lowest = np.full(count, particles + 1)
            np.minimum.at(lowest, labels, ids)
            return lowest[labels]
        if scipy is not None:
            runs["scipy"] = with_scipy
        times = best_times(runs, 3)
        same = scipy is None or np.array_equal(runs["module"](), with_scipy())
        results["rows"].append({"operation": "clusters by distance", "particles": particles,
                                "module_s": times["module"], "scipy_s": times.get("scipy")})
        lines.append(f"{'clusters by distance':<26} {particles:>10,} {fmt_time(times['module']):>10}  SciPy k-d tree "
                     f"and components {fmt_time(times.get('scipy'))}"
                     f"{'' if scipy is None else ', same labels' if same else ', LABELS DIFFER'}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=os.environ.get("VIREO20_BUILD_DIR", "build"))
    parser.add_argument("--sizes", default="1e6,1e7")
    parser.add_argument("--only", default="", help="comma-separated operation names (all by default)")
    parser.add_argument("--peaks", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))
    sizes = [int(float(size)) for size in args.sizes.split(",")]
    if args.peaks:
        json.dump(module_peaks(sizes, only), sys.stdout)
        return 0
    peaks = json.loads(subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--peaks", "--sizes", args.sizes, "--only", args.only],
        check=True, capture_output=True, text=True, env=dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")).stdout)
    cpp = cpp_benchmarks(args.build_dir)
    array_lines = array_access_report(args.build_dir)

    results = {"machine": platform.processor() or platform.machine(), "cpus": os.cpu_count(),
               "pandas": pd.__version__ if pd else None, "numpy": np.__version__, "rows": []}
    header = (f"{'operation':<26} {'particles':>10} {'module':>10} {'best NumPy':>10} {'pandas':>10} "
              f"{'NumPy/mod':>9} {'pandas/mod':>10} {'mod/floor':>9} {'floor':>9} {'peak RSS':>9}  note")
    lines = [header, "-" * len(header)]
    call_cost = None
    for particles in sizes:
        step = Step(particles)
        generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(step.parents, dtype="int32"))
        repeats = 7 if particles <= 2_000_000 else 5
        coordinate_average_time = None
        for name, module, numpy_runs, pandas_run, floor_parts, check in make_rows(step, generator):
            if only and name not in only:
                continue
            runs = dict(("numpy " + label, run) for label, run in numpy_runs.items())
            if module:
                runs["module"] = module
            if pandas_run:
                runs["pandas"] = pandas_run
            runs.update(("floor %d" % k, part) for k, part in enumerate(floor_parts))
            times = best_times(runs, repeats)
            module_time = times.get("module")
            peak = peaks.get(f"{name}|{particles}")
            best_label = min(numpy_runs, key=lambda label: times["numpy " + label])
            numpy_time = times["numpy " + best_label]
            pandas_time = times.get("pandas")
            floor = sum(times["floor %d" % k] for k in range(len(floor_parts))) or None
            note = best_label
            if name == "coordinate average":
                coordinate_average_time = module_time
            if name == "group moments" and module_time and coordinate_average_time:
                row_extra = {"over_coordinate_average": module_time / coordinate_average_time}
                note += f", {row_extra['over_coordinate_average']:.2f}x the coordinate average"
            else:
                row_extra = {}
            if module and check is not None:
                note += ", same result" if check() else ", RESULT DIFFERS"
            row = {"operation": name, "particles": particles, "enabled": step.e_count, "upscaled": step.u_count,
                   "module_s": module_time, "numpy_s": numpy_time, "numpy_formulation": best_label,
                   "pandas_s": pandas_time, "floor_s": floor, "peak_rss_bytes": peak,
                   "numpy_over_module": ratio(numpy_time, module_time),
                   "pandas_over_module": ratio(pandas_time, module_time),
                   "module_over_floor": ratio(module_time, floor), **row_extra}
            results["rows"].append(row)
            lines.append(f"{name:<26} {particles:>10,} {fmt_time(module_time):>10} {fmt_time(numpy_time):>10} "
                         f"{fmt_time(pandas_time):>10} {fmt_ratio(row['numpy_over_module']):>9} "
                         f"{fmt_ratio(row['pandas_over_module']):>10} {fmt_ratio(row['module_over_floor']):>9} "
                         f"{fmt_time(floor):>9} {fmt_mb(peak):>9}  {note}")
        for bench_name, label in (("engine_setup", "setup, C++ engine"),
                                  ("engine_element_indexes", "element indexes, C++"),
                                  ("engine_coordinate_average", "coordinate average, C++"),
                                  ("engine_group_moments", "group moments, C++")):
            t = cpp.get((bench_name, particles))
            results["rows"].append({"operation": label, "particles": particles, "module_s": t})
            lines.append(f"{label:<26} {particles:>10,} {fmt_time(t):>10}  (Google Benchmark, no Python)")
        if call_cost is None:
            call_cost = python_call_cost(generator)
        del generator, step
        gc.collect()
    if not only or "clusters by distance" in only:
        lines.extend(cluster_lines(sizes, results))
    call, empty = call_cost
    results["python_call_s"] = {"GetNumberOfEnabledParticles": call, "empty_lambda": empty}
    lines.append(f"{'one Python call':<26} {'':>10} {fmt_time(call):>10}  GetNumberOfEnabledParticles "
                 f"(an empty lambda: {fmt_time(empty)})")
    if pd is None:
        lines.append("pandas is not installed: its column is n/a")
    results["array_access"] = array_lines
    lines.extend(array_lines)
    print("\n".join(lines))
    os.makedirs(os.path.join(args.build_dir, "bench"), exist_ok=True)
    path = os.path.join(args.build_dir, "bench", "results.json")
    with open(path, "w") as out:
        json.dump(results, out, indent=1)
    print(f"written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
