"""Clusters found in each step: against a brute-force search over every image, made whole however far
they reach, and refused where a cluster meets its own image."""
import itertools

import numpy as np
import pytest
from numpy.testing import assert_array_equal

import vireo20
import vireo20.clustering
from vireo20.clustering import Clusters


def images_near(positions, box, cutoff):
    """(n, n) how many images of particle j lie closer than the cutoff to particle i (of i itself, but
    i), every pair compared at every image within reach of the positions wrapped into the box."""
    fractions = box.fractions(positions - box.origin)
    fractions[:, box.periodic] -= np.floor(fractions[:, box.periodic])
    wrapped = box.origin + fractions @ box.edges
    widths = np.linalg.det(box.edges) / np.linalg.norm(np.cross(box.edges[[1, 2, 0]], box.edges[[2, 0, 1]]), axis=1)
    reach = [range(-k, k + 1) if p else [0] for p, k in zip(box.periodic, 1 + np.ceil(cutoff / widths).astype(int))]
    images = np.array([np.array(s) @ box.edges for s in itertools.product(*reach)])
    near = np.array([(((wrapped[i] - wrapped[:, None, :] - images[None]) ** 2).sum(-1) < cutoff * cutoff).sum(1)
                     for i in range(len(positions))])
    return near - np.eye(len(positions), dtype=int)


def brute_force(positions, ids, box, cutoff):
    """The lowest id of each particle's cluster."""
    near, root = images_near(positions, box, cutoff), np.arange(len(positions))
    for i, j in zip(*np.nonzero(np.triu(near, 1))):
        a, b = root[i], root[j]
        root[root == max(a, b)] = min(a, b)
    lowest = {r: ids[root == r].min() for r in np.unique(root)}
    return np.array([lowest[r] for r in root])


def random_steps(seed, cases=50):
    """(positions, ids, box, cutoff): orthogonal and tilted boxes, some edges periodic, some thinner
    than the cutoff, particles anywhere."""
    rng = np.random.default_rng(seed)
    for case in range(cases):
        count, sides = rng.integers(2, 90), rng.uniform(0.3, 4, 3)
        periodic = rng.integers(0, 2, 3).astype(bool)
        if case == 0:
            # A lone particle in a box thinner than the cutoff meets its own images.
            count, sides[2], periodic[:] = 1, 0.3, True
        edges = np.diag(sides)
        if case % 2:
            edges[1, 0], edges[2, 0], edges[2, 1] = rng.uniform(-0.5, 0.5, 3) * sides[[0, 0, 1]]
        box = vireo20.Box(rng.uniform(-2, 2, 3), edges, periodic)
        positions = box.origin + rng.uniform(-1.5, 2.5, (count, 3)) @ edges
        yield positions, rng.permutation(1000)[:count] + 1, box, 1.0 if case == 0 else rng.uniform(0.05, 1.2)


@pytest.mark.parametrize("seed", range(3))
def test_clusters_are_those_of_every_image_and_made_whole_about_their_lowest_id(seed):
    for positions, ids, box, cutoff in random_steps(seed):
        spanning = []
        labels, whole = Clusters(cutoff).find({"positions": positions, "ids": ids, "box": box}, spanning=spanning)
        assert_array_equal(labels, brute_force(positions, ids, box, cutoff))
        # A cluster around the box stays as given; the others are whole.
        around = np.isin(labels, spanning)
        assert_array_equal(whole[around], positions[around])
        if spanning:
            with pytest.raises(ValueError, match="meets its own image"):
                Clusters(cutoff).find({"positions": positions, "ids": ids, "box": box})
            continue
        assert_array_equal(labels, brute_force(whole, ids, vireo20.Box(box.origin, box.edges), cutoff))
        assert_array_equal(whole[np.isin(ids, labels)], positions[np.isin(ids, labels)])


@pytest.mark.parametrize("seed", range(3, 5))
def test_neighbours_are_every_image_within_the_cutoff_and_those_of_the_own_group(seed):
    for positions, ids, box, cutoff in random_steps(seed):
        groups = ids % 3
        neighbours, inner = vireo20.clustering.neighbour_counts(positions, groups, box, cutoff)
        near = images_near(positions, box, cutoff)
        assert_array_equal(neighbours, near.sum(1))
        assert_array_equal(inner, (near * (groups[:, None] == groups[None, :])).sum(1))


def test_a_cluster_wider_than_half_the_box_is_whole_and_one_around_the_box_is_kept_as_given(tmp_path):
    box = vireo20.Box.orthogonal([0, 0, 0], [10, 10, 0.2], [True, True, True])
    chain = {"id": np.arange(1, 17), "x": np.arange(16) * 0.5 + 1.25, "y": np.full(16, 5.0), "z": np.zeros(16),
             "mass": np.ones(16)}
    chain["x"][8:] -= 10  # a 2d run's chain, its second half across the x face
    result = vireo20.run(vireo20.from_pandas(chain, box=box), tmp_path / "chain", cluster=0.6, picture_step=None)
    assert result.timesteps == [0] and result.summary["largest"].tolist() == [16]
    frame = vireo20.open(str(tmp_path / "chain" / "upscaled.pvd"))[0]
    assert_array_equal(frame.positions, [[5.0, 5.0, 0.0]])
    with pytest.raises(vireo20.InputError, match=r"upscaled particle 0 \(group 1\) spans 0.95 of the box along x"):
        vireo20.run(vireo20.from_pandas(dict(chain, mol=np.ones(16, int)), box=box), tmp_path / "mol",
                    picture_step=None)
    ring = {"id": np.arange(1, 21), "x": np.arange(20) * 0.5, "y": np.full(20, 5.0), "z": np.zeros(20),
            "mass": np.ones(20)}
    told = []
    result = vireo20.run(vireo20.from_pandas(ring, box=box), tmp_path / "ring", cluster=0.6, picture_step=None,
                         warn=told.append)
    assert len(told) == 1 and told[0].startswith("pandas: timestep 0: the cluster of group_id 1 meets its own "
                                                 "image") and "wrapped into the box" in told[0]
    ring = vireo20.open(result.pvd)[0]
    assert_array_equal(ring.positions, [[4.75, 5.0, 0.0]])
    assert_array_equal(ring.columns["spans_box"], [1])


@pytest.mark.parametrize("arguments, cutoff, problem", [
    ({"contacts": None}, "contacts", "needs the contacts"),
    ({"positions": np.array([[0.0, 0, 0], [np.nan, 0, 0]])}, 1.0, r"particle 1 \(id 2\) has a position"),
    ({"box": vireo20.Box.orthogonal([0, 0, 0], [1, 1, 0.01], [True] * 3)}, 1.0, "more than 64 times"),
])
def test_what_stands_in_a_clustering_s_way_is_named(arguments, cutoff, problem):
    step = {"positions": np.array([[0.0, 0, 0], [0.5, 0, 0.001]]), "ids": np.array([1, 2]), **arguments}
    with pytest.raises(ValueError, match=problem):
        Clusters(cutoff).find(step)
    for word in (0, -1, "nan", "near"):
        with pytest.raises(ValueError, match="--cluster takes a distance above 0 or the word contacts"):
            Clusters(word)


def test_contacts_with_walls_or_absent_ids_join_nothing_ids_from_zero_count_from_one_and_types_choose():
    # The second joins a wall, the last a particle the step does not hold: nothing.
    step = {"positions": np.zeros((4, 3)), "ids": np.array([3, 0, 1, 2]), "first_id": 0,
            "contacts": np.array([[3, 2], [0, 7], [1, 0], [0, 9]]), "contact_kinds": np.array([0, 1, 0, 0])}
    labels, _ = Clusters("contacts").find(step)
    assert_array_equal(labels, [3, 1, 1, 3])
    labels, _ = Clusters("contacts", types=["C"]).find(step, np.array([b"C", b"C", b"H", b"C"]))
    assert_array_equal(labels, [3, 1, 0, 3])
    with pytest.raises(ValueError, match="--cluster-types needs a type column"):
        Clusters(1.0, types=[1]).find(step)
    with pytest.raises(ValueError, match="--cluster-types C: the type column holds numbers"):
        Clusters(1.0, types=["C"]).find(step, np.array([1, 1, 2, 1]))


@pytest.mark.parametrize("cluster", ["contacts", 0.3])
def test_the_built_in_data_sets_entries_cluster_by_their_source_indexes(cluster, tmp_path):
    """Parents given, not particles: the enabled entries are clustered (contacts name source indexes),
    each cluster labelled by its lowest index + 1; the trailing entries pass through alone."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    from test_vireo20_job import read_vtp
    series = vireo20.open(None, clusters=60, steps=2, seed=4)
    result = vireo20.run(series, tmp_path / "out", cluster=cluster, picture_step=None)
    with pytest.raises(vireo20.InputError, match="bins of clusters take an input of particles"):
        vireo20.run(series, tmp_path / "binned", cluster=cluster, bins=["z:1"], picture_step=None)
    for frame, path in zip(series, result.files):
        enabled, e = np.asarray(frame.enabled), len(frame.enabled)
        if cluster == "contacts":
            pairs = frame.contacts[frame.contact_kinds == 0]
        else:
            at = frame.positions[:e]
            near = np.linalg.norm(at[:, None] - at[None], axis=2) ** 2 < cluster * cluster
            pairs = enabled[np.argwhere(near)]
        graph = coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(len(frame.masses),) * 2)
        labels = connected_components(graph, directed=False)[1][enabled]
        lowest = {label: enabled[labels == label].min() + 1 for label in np.unique(labels)}
        assert frame.box is None or not frame.box.any_periodic
        step, t = read_vtp(path), len(frame.trailing_masses)
        counts = dict(zip(*np.unique(labels, return_counts=True)))
        assert sorted(step["group_id"][:len(step["group_id"]) - t]) == sorted(lowest.values())
        assert sorted(step["count"][:len(step["count"]) - t]) == sorted(counts.values())
        assert (step["count"][len(step["count"]) - t:] == 1).all()
