"""Grouping 10 million enabled particles by parent: MPUpscalingGenerator's setup beside the same
grouping done with NumPy (np.unique, renumbered by first occurrence)."""
import sys
import time

import numpy as np

import quill20
import _vireo20upscaling

SOURCE_PARTICLES = 12_000_000
ENABLED_PARTICLES = 10_000_000
MEAN_CLUSTER_SIZE = 8
REPEATS = 3


def parent_table(rng):
    """Clusters of geometric size scattered over the ids; the first member of a cluster is its parent
    (its own entry -1), the other members point to it."""
    sizes = rng.geometric(1.0 / MEAN_CLUSTER_SIZE, size=SOURCE_PARTICLES)
    starts = np.cumsum(sizes) - sizes
    starts = starts[starts < SOURCE_PARTICLES]
    cluster_of_slot = np.zeros(SOURCE_PARTICLES, dtype=np.int64)
    cluster_of_slot[starts[1:]] = 1
    cluster_of_slot = np.cumsum(cluster_of_slot)
    ids = rng.permutation(SOURCE_PARTICLES).astype(np.int32)
    root_of_slot = ids[starts][cluster_of_slot]
    parents = np.empty(SOURCE_PARTICLES, dtype=np.int32)
    parents[ids] = root_of_slot
    parents[ids[starts]] = -1
    return parents


def numpy_grouping(parents, enabled):
    """Upscaled particle of each enabled position, numbered in order of first occurrence."""
    own = parents[enabled]
    parent_ids = np.where(own >= 0, own, enabled)
    _, first, inverse = np.unique(parent_ids, return_index=True, return_inverse=True)
    rank = np.empty(first.size, dtype=np.int64)
    rank[np.argsort(first, kind="stable")] = np.arange(first.size)
    return rank[inverse]


def best_time(run):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    rng = np.random.default_rng(20240611)
    parents = parent_table(rng)
    enabled = np.sort(rng.choice(SOURCE_PARTICLES, size=ENABLED_PARTICLES, replace=False)).astype(np.int32)
    rng.shuffle(enabled[: ENABLED_PARTICLES // 10])  # part of the list out of id order, as after a re-sort

    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
    enabled_array = quill20.array(enabled, dtype="int32")

    setup_time, _ = best_time(lambda: generator.SetParticlesEnabledIndexes(0, enabled_array, 0))
    numpy_time, expected = best_time(lambda: numpy_grouping(parents, enabled))

    indexes = generator.GetElementParticlesIndexes().to_numpy()
    if not np.array_equal(indexes, expected):
        sys.exit("the generator's grouping differs from NumPy's")
    upscaled = generator.GetNumberOfEnabledParticles()
    print(f"setup of {ENABLED_PARTICLES:,} enabled particles ({upscaled:,} upscaled, "
          f"{SOURCE_PARTICLES:,} source particles), best of {REPEATS}")
    print(f"  MPUpscalingGenerator.SetParticlesEnabledIndexes  {setup_time * 1e3:9.1f} ms")
    print(f"  NumPy unique + first-occurrence renumbering      {numpy_time * 1e3:9.1f} ms")
    print(f"  NumPy / setup                                     {numpy_time / setup_time:8.2f}x")


if __name__ == "__main__":
    main()
