"""vireo20.upscale, the NumPy-in call behind every step: against pandas and a NumPy model, across
periodic boundaries (orthogonal and triclinic), and its contact network."""
import re
import weakref

import numpy as np
import pandas
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import vireo20
from vireo20 import Box, InputError

PERIODIC = Box.orthogonal([0, 0, 0], [10, 10, 10], [True, True, True])
TILTED = Box.from_lammps([0, 0, 0], [10, 8, 6], (3.0, -2.0, 1.5), [True, True, False])


def random_step(rng, n=400, labels=2 ** 40):
    groups = rng.choice(np.r_[-3, 0, rng.integers(1, labels, 60)], n).astype(np.int64)
    return dict(groups=groups, masses=rng.uniform(0.5, 2, n), positions=rng.normal(1e4, 3, (n, 3)),
                ids=rng.permutation(np.arange(5, 5 + 3 * n, 3)),
                values={"v": rng.normal(size=(n, 3)), "q": rng.normal(size=n), "kind": rng.integers(0, 5, n)})


@pytest.mark.parametrize("seed, labels", [(0, 2 ** 40), (1, 2 ** 40), (2, 100)], ids=["sparse", "sparse", "dense"])
def test_groups_and_values_match_pandas(seed, labels):
    step = random_step(np.random.default_rng(seed), labels=labels)
    result = vireo20.upscale(step["groups"], step["masses"], step["positions"], step["values"], ids=step["ids"])
    table = pandas.DataFrame({"g": step["groups"], "m": step["masses"], "id": step["ids"], "q": step["values"]["q"],
                              **{f"x{k}": step["positions"][:, k] for k in range(3)}})
    # Labels 0 and below are particles on their own; every other label one group, in order of appearance.
    table["key"] = np.where(table.g > 0, table.g, -1 - np.arange(len(table)))
    grouped = table.groupby("key", sort=False)
    assert_array_equal(result.group_id, grouped.g.first())
    assert_array_equal(result.parent_id, grouped.id.min())
    assert_allclose(result.masses, grouped.m.sum(), rtol=1e-14)
    for k in range(3):
        weighted = (table[f"x{k}"] * table.m).groupby(table.key, sort=False).sum() / grouped.m.sum()
        assert_allclose(result.centres[:, k], weighted, rtol=1e-14)
    # Charges add up (the group's net charge), as forces do.
    assert_allclose(result["q"], grouped.q.sum(), rtol=1e-12, atol=1e-15)
    frame = result.to_pandas()
    assert list(frame.columns[:6]) == ["x", "y", "z", "mass", "parent_id", "group_id"]
    # As a DataFrame: names to iterate and look in; pandas's nullable integers as groups and masses.
    assert list(result) == list(result.keys()) == list(result.arrays) and "q" in result and "x" not in result
    nullable = vireo20.upscale(table.g.astype("Int64"), table.m.astype("Float64"), step["positions"], ids=step["ids"])
    assert_array_equal(nullable.group_id, result.group_id)
    assert_array_equal(nullable.masses, result.masses)
    # A mask enables the particles its indexes would; whole-number velocities are velocities all the same.
    mask = np.arange(len(table)) % 3 > 0
    chosen = [vireo20.upscale(step["groups"], step["masses"], step["positions"][mask], ids=step["ids"], enabled=which,
                              values={"velocity": np.rint(step["values"]["v"][mask] * 9).astype(kind)})
              for which, kind in ((mask, np.int64), (np.flatnonzero(mask), np.float64))]
    for name in ("centres", "masses", "group_id"):
        assert_array_equal(getattr(chosen[0], name), getattr(chosen[1], name))
    assert_array_equal(chosen[0]["velocity"], chosen[1]["velocity"])
    with pytest.raises(ValueError, match="array 'x' gives the table a column 'x', which it has already"):
        vireo20.upscale(step["groups"], step["masses"], step["positions"], {"x": step["values"]["q"]}).to_pandas()
    assert {"v_x", "v_z", "kind"} <= set(frame.columns) and len(frame) == len(grouped)
    if "count" in result.physics:
        assert_array_equal(result["count"], grouped.size())
    # min and max skip NaN as pandas does; integers beyond 2**53 stay exact.
    q, big = step["values"]["q"].copy(), step["values"]["kind"] * 2 ** 60 + step["values"]["kind"]
    q[::7] = np.nan
    extremes = vireo20.upscale(step["groups"], step["masses"], step["positions"], ids=step["ids"],
                               values={"q": q, "v": step["values"]["v"], "kind": step["values"]["kind"], "big": big,
                                       "q_median": q, "v_median": step["values"]["v"], "k_median": step["values"]["kind"],
                                       "q_std": q, "near": 2 ** 60 + step["values"]["kind"]},
                               reductions={"q": "min", "v": "max", "kind": "max", "big": "min",
                                           "q_median": "median", "v_median": "median", "k_median": "median",
                                           "q_std": "std", "near": "nunique"})
    table = table.assign(q=q, big=big, kind=step["values"]["kind"],
                         **{f"v{k}": step["values"]["v"][:, k] for k in range(3)})
    grouped = table.groupby("key", sort=False)
    # Integers beyond int32 taken over whole, from the member the engine takes a small one from.
    taken = vireo20.upscale(step["groups"], step["masses"], step["positions"], ids=step["ids"],
                            values={"kind": step["values"]["kind"], "big": big}, reductions={"big": "any"})
    assert_array_equal(taken["big"], taken["kind"].astype(np.int64) * (2 ** 60 + 1))
    assert_array_equal(extremes["q"], grouped.q.min())
    assert_array_equal(extremes["v"], np.stack([grouped[f"v{k}"].max() for k in range(3)], axis=1))
    assert_array_equal(extremes["kind"], grouped.kind.max())
    assert_array_equal(extremes["big"], grouped.big.min())
    assert extremes["big"].dtype == np.int64
    # Medians as pandas's, NaN passed over, integers' as reals.
    assert_array_equal(extremes["q_median"], grouped.q.median())
    assert_array_equal(extremes["v_median"], np.stack([grouped[f"v{k}"].median() for k in range(3)], axis=1))
    assert_array_equal(extremes["k_median"], grouped.kind.median())
    # So does std; nunique tells apart integers that doubles would merge.
    assert_allclose(extremes["q_std"], grouped.q.std(), rtol=1e-9)
    assert_array_equal(extremes["near"], grouped.kind.nunique())
    # The mean is unweighted, a vector's component by component, an integer's as a real; std as
    # pandas's, NaN for a lone member (values far from 0 beside their spread keep its digits).
    means = vireo20.upscale(step["groups"], step["masses"], step["positions"], ids=step["ids"],
                            values={"v": step["values"]["v"], "kind": step["values"]["kind"],
                                    "x": step["positions"], "k": step["values"]["kind"]},
                            reductions={"v": "mean", "kind": "mean", "positions": "mean", "x": ["std", "var"],
                                        "k": "std"})
    assert_allclose(means["x_std"], np.stack([grouped[f"x{k}"].std() for k in range(3)], axis=1), rtol=1e-9)
    assert_allclose(means["x_var"], np.stack([grouped[f"x{k}"].var() for k in range(3)], axis=1), rtol=1e-9)
    assert np.sqrt(means["x_var"]).tobytes() == means["x_std"].tobytes()
    assert_allclose(means["k"], grouped.kind.std(), rtol=1e-12, atol=1e-15)
    assert_allclose(means["v"], np.stack([grouped[f"v{k}"].mean() for k in range(3)], axis=1), rtol=1e-12, atol=1e-15)
    assert_allclose(means["centre_of_geometry"], np.stack([grouped[f"x{k}"].mean() for k in range(3)], axis=1),
                    rtol=1e-14)
    assert_allclose(means["kind"], grouped.kind.mean(), rtol=1e-14)
    empty = vireo20.upscale(np.zeros(0, np.int64), np.zeros(0), np.zeros((0, 3)), reductions={"v": "max", "k": "min"},
                            values={"v": np.zeros((0, 3)), "k": np.zeros(0, np.int64)})
    assert empty["v"].shape == (0, 3) and empty["k"].shape == (0,) and empty["k"].dtype == np.int64


@pytest.mark.parametrize("trailing, subset", [(0, False), (3, True)])
def test_the_physics_pass_gives_the_centres_and_mean_velocity_of_the_plain_averages(trailing, subset):
    rng = np.random.default_rng(trailing)
    step = random_step(rng, n=5000)
    enabled = np.sort(rng.choice(5000, 4000, replace=False)) if subset else None
    e = 4000 if subset else 5000
    rows = lambda k: rng.normal(size=(e + trailing, 3)) if k else rng.normal(size=e + trailing)
    arguments = dict(groups=step["groups"], masses=step["masses"], positions=rows(3), enabled=enabled,
                     values={"velocity": rows(3), "q": rows(0)}, ids=step["ids"],
                     trailing_masses=rng.uniform(0.5, 2, trailing) if trailing else None)
    full, bare = vireo20.upscale(**arguments), vireo20.upscale(**arguments, physics="none")
    assert "angular_velocity" in full.physics and not bare.physics
    for name in ("centres", "points"):
        assert getattr(full, name).tobytes() == getattr(bare, name).tobytes(), name
    for name in ("velocity", "q"):
        assert full[name].tobytes() == bare[name].tobytes(), name


def test_the_shape_anisotropy_and_parameter_are_mdanalysis_s_and_a_rod_is_one():
    mda = pytest.importorskip("MDAnalysis")
    rng = np.random.default_rng(4)
    sizes = rng.integers(2, 9, 40)
    groups = np.repeat(np.arange(1, 41), sizes)
    universe = mda.Universe.empty(len(groups), n_residues=40, atom_resindex=groups - 1, trajectory=True)
    universe.add_TopologyAttr("masses", rng.uniform(0.5, 3, len(groups)))
    universe.atoms.positions = rng.normal(size=(len(groups), 3)) * [4, 1, 0.3] + 100 * groups[:, None]
    result = vireo20.upscale(groups, universe.atoms.masses, universe.atoms.positions.astype(np.float64), shape=True)
    shape = result["gyration_shape"][np.argsort(result.group_id)]
    assert_allclose(shape[:, 5], [residue.atoms.asphericity() for residue in universe.residues], rtol=1e-5)
    assert_allclose(result["shape_parameter"][np.argsort(result.group_id)],
                    [residue.atoms.shape_parameter() for residue in universe.residues], rtol=1e-5, atol=1e-7)
    # Axes up to their sign, right-handed; a dimer's long axis only (its others are any two).
    axes = result["principal_axes"][np.argsort(result.group_id)].reshape(-1, 3, 3)
    theirs = np.array([residue.atoms.principal_axes() for residue in universe.residues])
    aligned = np.abs(np.einsum("gij,gij->gi", axes, theirs))
    assert_allclose(aligned[sizes > 2], 1, rtol=1e-5)
    assert_allclose(aligned[:, 2], 1, rtol=1e-5)
    assert_allclose(np.linalg.det(axes), 1, rtol=1e-12)
    assert_array_equal(result["long_axis"], result["principal_axes"][:, 6:])
    boxes = np.array([residue.atoms.bbox() for residue in universe.residues])
    assert_array_equal(result["bounding_box_lo"][np.argsort(result.group_id)], boxes[:, 0])
    assert_array_equal(result["bounding_box_hi"][np.argsort(result.group_id)], boxes[:, 1])
    assert (np.diff(np.abs(shape[:, :3]), axis=1) <= 0).all()  # by magnitude, as LAMMPS sorts
    # Where eigenvalues meet: members on a line (anisotropy 1), on a square (two equal), on a regular
    # tetrahedron (a sphere: 0) and a dimer; a lone member has no shape.
    corners = np.array([[1, 1, 1], [1, -1, -1], [-1, 1, -1], [-1, -1, 1.]])
    positions = np.r_[[[0, 0, 0], [1, 2, 2], [3, 6, 6]], corners * [1, 1, 0], corners,
                      [[5, 5, 5], [9, 9, 9], [7, 8, 9]]]
    groups = np.repeat([1, 2, 3, 4, 5], [3, 4, 4, 2, 1])
    result = vireo20.upscale(groups, np.ones(len(groups)), positions, physics="basic", shape=True)
    shape = result["gyration_shape"]
    assert_allclose(result["shape_parameter"], [2, -0.25, 0, 2, np.nan], atol=1e-12)
    assert_allclose(result["long_axis"][[0, 3]], [[1 / 3, 2 / 3, 2 / 3], [1 / 3 ** 0.5] * 3], atol=1e-12)
    assert "gyration_shape" not in vireo20.upscale(groups, np.ones(len(groups)), positions).physics
    # The spheres that hold the members (about their centres, here of geometry as MDAnalysis's bsphere),
    # reaching out by the members' radii where given, and those of the members' volume (area in 2d).
    reach, sizes = np.array([5, 2 ** 0.5, 3 ** 0.5, 2 * 3 ** 0.5, 0]), np.array([3, 4, 4, 2, 1])
    assert_allclose(result["bounding_radius"], reach, atol=1e-12)
    assert "equivalent_radius" not in result.physics
    for dimension, root in ((3, np.cbrt), (2, np.sqrt)):
        spheres = vireo20.upscale(groups, np.ones(len(groups)), positions, physics="basic", shape=True,
                                  values={"diameter": np.ones(len(groups))}, dimension=dimension)
        assert_allclose(spheres["bounding_radius"], reach + 0.5, atol=1e-12)
        assert_allclose(spheres["equivalent_radius"], 0.5 * root(sizes), rtol=1e-15)
    assert_allclose(shape[:4], [[14, 0, 0, 14, 0, 1], [1, 1, 0, 0.5, 1, 0.25], [1, 1, 1, 0, 0, 0],
                                [12, 0, 0, 12, 0, 1]], atol=1e-12)
    assert (shape[4, :5] == 0).all() and np.isnan(shape[4, 5])


def test_a_step_of_no_particles_needs_none_of_their_columns():
    """A pour's first step (a GSD frame of none stores no velocity): every physics array, empty."""
    result = vireo20.upscale([], [], np.zeros((0, 3)), temperature=True, units="lj", shape=True)
    assert result.u == 0 and all(len(result[name]) == 0 for name in ("temperature", "kinetic_stress", "mass"))


def test_a_steps_arrays_go_with_its_data_set():
    """The job's next step reuses the memory of the step it has just written."""
    step = random_step(np.random.default_rng(3))
    result = vireo20.upscale(step["groups"], step["masses"], step["positions"], step["values"], ids=step["ids"])
    arrays = [weakref.ref(result[name]) for name in ("mass", "group_id", "q", "kind")]
    data = result.to_vtk()
    del result
    assert all(array() is not None for array in arrays)
    del data
    assert [array() for array in arrays] == [None] * len(arrays)


@pytest.mark.parametrize("box", [PERIODIC, TILTED], ids=["orthogonal", "triclinic"])
def test_wrapped_groups_are_made_whole_and_lines_go_to_the_nearest_image(box):
    # Two dimers cut by the boundary along a, one particle alone; the true positions, then wrapped ones.
    true = box.origin + np.array([[-0.1, 0.5, 0.5], [0.2, 0.5, 0.5], [0.45, 0.5, 0.5], [0.55, 0.5, 0.5],
                                  [0.97, 0.45, 0.5]]) @ box.edges
    wrapped, _ = box.wrap(true)
    arguments = dict(ids=np.arange(1, 6), first_id=1, box=box, contacts=np.array([[1, 5], [2, 5], [3, 4]]),
                     contact_values={"f": np.array([1.0, 2.0, 4.0])})
    whole = vireo20.upscale(np.array([1, 1, 2, 2, 0]), np.full(5, 2.0), wrapped, wrapped=True, **arguments)
    direct = vireo20.upscale(np.array([1, 1, 2, 2, 0]), np.full(5, 2.0), true, **arguments)
    shift = box.minimum_image(whole.centres - direct.centres)
    assert_allclose(shift, 0, atol=1e-12)
    # Unweighted, of the positions made whole: the centres of mass of equal masses.
    geometry = vireo20.upscale(np.array([1, 1, 2, 2, 0]), np.full(5, 2.0), wrapped, wrapped=True,
                               reductions={"positions": "mean"}, **arguments)
    assert_allclose(geometry["centre_of_geometry"], whole.centres, rtol=1e-15)
    # One line between the first dimer and the lone particle, merging two contacts, never longer than
    # half the box: from the true positions it goes through the boundary to an image of the particle.
    for result in (whole, direct):
        assert_array_equal(result.line_values["contacts"], [2])
        assert_array_equal(result.line_values["f"], [3.0])
        (a, b), = result.lines
        assert a == 0 and (b == 2 or result.image_of[b] == 2)
        assert np.all(np.abs(box.fractions(result.points[b] - result.points[a])) <= 0.5)
        assert_array_equal(result.image_of[:3], -1)
    assert len(direct.points) == 4 and direct.image_of[3] == 2


@pytest.mark.parametrize("seed, id_range", [(0, 3 * 300), (1, 10 ** 9)], ids=["dense ids", "sparse ids"])
def test_contact_lines_and_counts_match_pandas(seed, id_range):
    rng = np.random.default_rng(seed)
    n, c = 300, 3000
    groups = rng.choice(np.r_[0, rng.integers(1, 60, 40)], n)
    ids = rng.permutation(np.unique(rng.integers(1, id_range, 2 * n))[:n])
    gaps = np.setdiff1d(np.arange(ids.min(), ids.min() + 2000), ids)[:3]
    contacts = rng.choice(np.r_[ids, ids, -4, id_range + 9, gaps], (c, 2))   # some ids of no particle
    kinds, force = (rng.random(c) < 0.1).astype(np.int64), rng.normal(size=(c, 3))
    result = vireo20.upscale(groups, np.ones(n), rng.normal(size=(n, 3)), ids=ids, contacts=contacts, contact_kinds=kinds,
                             contact_values={"f": force}, coordination=True)
    # Each id's upscaled particle, as the result names them: its group, or the lone particle's own id.
    key = {**{g: u for u, g in enumerate(result.group_id) if g > 0},
           **{-i: u for u, (g, i) in enumerate(zip(result.group_id, result.parent_id)) if g <= 0}}
    of_id = dict(zip(ids, [key[g] if g > 0 else key[-i] for g, i in zip(groups, ids)]))
    table = pandas.DataFrame({"a": [of_id.get(i, -1) for i in contacts[:, 0]], "b": [of_id.get(i, -1) for i in contacts[:, 1]],
                              "wall": kinds > 0, **{f"f{k}": force[:, k] for k in range(3)}})
    assert result.unknown_contacts == ((table.a < 0) | (~table.wall & (table.b < 0))).sum()
    pairs = table[~table.wall & (table.a >= 0) & (table.b >= 0)]
    apart = pairs[pairs.a != pairs.b].assign(low=lambda t: np.minimum(t.a, t.b), high=lambda t: np.maximum(t.a, t.b))
    lines = apart.groupby(["low", "high"], sort=False)
    assert_array_equal(result.lines, apart.drop_duplicates(["low", "high"])[["low", "high"]].to_numpy())
    assert_array_equal(result.line_values["contacts"], lines.size().to_numpy())
    assert_allclose(result.line_values["f"], lines[["f0", "f1", "f2"]].sum().to_numpy(), rtol=1e-13, atol=1e-13)
    counted = lambda ends: np.bincount(ends, minlength=len(result.group_id))
    assert_array_equal(result["inner_contacts"], counted(pairs.a[pairs.a == pairs.b]))
    assert_array_equal(result["outer_contacts"], counted(apart.a) + counted(apart.b))
    assert_array_equal(result["wall_contacts"], counted(table.a[table.wall & (table.a >= 0)]))


@pytest.mark.parametrize("seed", range(4))
def test_groups_made_whole_in_one_native_pass_are_the_bits_of_the_boxs_shifts(seed):
    """Ties at half a box (rounded to even), -0 and periodic directions left out included; the spans
    as the box's widths of the whole positions."""
    from vireo20 import periodic
    rng = np.random.default_rng(seed)
    box = Box.orthogonal([-1.5, 0, 2], [2.5, 0.75, 12], rng.integers(0, 2, 3).astype(bool) | [seed == 0] * 3)
    n, groups = 3000, 400
    element = rng.integers(-1, groups, n).astype(np.int32)
    positions = rng.uniform(-9, 9, (n, 3)) * rng.choice([1, 1e-17, 1e3], (n, 3))
    positions[::13] = rng.integers(-20, 20, (len(positions[::13]), 3)) * np.diag(box.edges) / 2   # half-box ties
    positions[::17, 1] = -0.0
    anchor = rng.integers(0, n, n)
    anchor[anchor] = anchor   # a parent is its own anchor
    whole = np.empty_like(positions)
    wide = periodic.whole_groups(positions, anchor, element, groups, box, whole)
    assert whole.tobytes() == periodic.make_whole(positions, anchor, box).tobytes()
    fractions, spans = box.widths(whole - whole[anchor]), np.full((groups, 3), -np.inf)
    for axis in np.flatnonzero(box.periodic):
        frame = pandas.DataFrame({"g": element, "f": fractions[:, axis]})[element >= 0].groupby("g").f
        spans[frame.max().index, axis] = frame.max() - frame.min()
    expected = [(int(g), "xyz"[a], float(spans[g, a])) for a, g in zip(*np.nonzero(spans.T > 0.5))]
    assert sorted(wide) == sorted(expected) and [s for _, _, s in wide] == sorted((s for *_, s in wide), reverse=True)


@pytest.mark.parametrize("tilts, turned", [((-4.4, 0, 0), False), ((4.4, 3.9, -4.1), False), ((4.4, 3.9, -4.1), True)],
                         ids=["sheared", "tilted", "general"])
def test_a_member_within_half_the_box_widths_is_found_in_a_box_tilted_to_its_limit(tilts, turned):
    """LAMMPS's nearest image: within half the box's widths along x, y and z of its restricted form.
    A sheared box's compact molecule reaches further than half an edge in edge units."""
    rng = np.random.default_rng(5)
    box = Box.from_lammps([0, 0, 0], [9, 9, 9], tilts, [True] * 3)
    turn = np.linalg.qr(rng.normal(size=(3, 3)))[0] if turned else np.eye(3)
    turn *= np.linalg.det(turn)  # a rotation, not a mirror
    near = rng.uniform(-0.49, 0.49, (2000, 3)) * 9.0
    moved = rng.integers(-3, 4, (2000, 3))
    if turned:
        box, near = Box([1.0, -2.0, 0.5], box.edges @ turn, [True] * 3), near @ turn
    assert_array_equal(box.shifts(near + moved @ box.edges), -moved)
    # A dimer wrapped about its first member at the far corner of that reach is one group, not refused.
    far = np.array([[4.4, 4.4, -4.4]]) @ turn
    true = np.concatenate([np.zeros((1, 3)), far]) + box.origin + 0.01
    wrapped, _ = box.wrap(true)
    result = vireo20.upscale(np.array([1, 1]), np.ones(2), wrapped, box=box, wrapped=True)
    assert_allclose(box.minimum_image(result.centres - true.mean(axis=0)), 0, atol=1e-12)


def test_end_to_end_vectors_join_each_chains_lowest_and_highest_id_through_the_faces():
    rng = np.random.default_rng(6)
    chains = np.cumsum(rng.normal(scale=0.4, size=(40, 8, 3)), axis=1) + rng.uniform(0, 10, (40, 1, 3))
    ids = np.sort(rng.permutation(330)[:320].reshape(40, 8), axis=1) + 1   # rising along each chain
    rows = rng.permutation(321)   # and a lone particle
    groups = np.r_[np.repeat(np.arange(1, 41), 8), 0][rows]
    wrapped, _ = PERIODIC.wrap(np.r_[chains.reshape(-1, 3), [[5.0, 5, 5]]][rows])
    result = vireo20.upscale(groups, np.ones(321), wrapped, ids=np.r_[ids.reshape(-1), 999][rows], box=PERIODIC,
                             wrapped=True, shape=True)
    order = np.argsort(result.group_id)
    assert_allclose(result["end_to_end"][order], np.r_[[[0.0, 0, 0]], chains[:, -1] - chains[:, 0]], atol=1e-12)


def test_a_group_wider_than_half_the_box_is_refused():
    # Wide along x and y: one group, however many directions.
    positions = np.array([[1.0, 1, 5], [4.5, 4.4, 5], [8.0, 7.9, 5]])
    with pytest.raises(InputError, match=r"upscaled particle 0 \(group 4\) spans 0.65 of the box along x .*"
                                         r"guess; 1 such group\)"):
        vireo20.upscale(np.array([4, 4, 4]), np.ones(3), positions, box=PERIODIC, wrapped=True, timestep=7)


@pytest.mark.parametrize("bad, message", [
    (dict(masses=np.array([1.0, np.nan, 1.0])), "array 'masses': value nan on row 2"),
    (dict(masses=np.array([1.0, -1.0, 1.0])), "array 'masses': value -1.0 on row 2 is not a positive"),
    (dict(positions=np.array([[0, 0, 0], [np.inf, 0, 0], [0, 0, 0]])), "array 'positions': value"),
    (dict(masses=np.array([2, 0, 1])), "array 'masses': value 0.0 on row 2 is not a positive finite number"),
    (dict(masses=np.array([2, 1e-320, 1])), "array 'masses': value 1e-320 is below 2.2e-308"),
    (dict(masses=np.full(3, 1e307), positions=np.full((3, 3), 1e3)), "array 'masses': the groups' masses or centres"),
    (dict(positions=np.array([[0.0] * 6, [0.0] * 6, [0, 0, 0, 0, -np.inf, 0]])[:, ::2]),
     "array 'positions': value [0.0, 0.0, -inf] on row 3 is not a finite number"),
    (dict(groups=np.array([1.5, 1, 1])), "array 'groups': value 1.5 on row 1 is not an integer"),
    (dict(ids=np.array([1, 2, 2 ** 33])), "array 'id': id 8589934592 on row 3 is outside 0..2147483647"),
    (dict(ids=np.array([4, 2, 4])), "array 'id': id 4 appears more than once"),
    (dict(values={"mass": np.ones(3)}), "array 'mass': the name is taken"),
    (dict(values=[np.ones(3)]), "array 'values': a dict of name: array (one row a particle), not a list"),
    (dict(values={"q": np.ma.masked_array([1.0, 2, 3], [0, 1, 0])}), "array 'q': a masked array"),
    (dict(enabled=np.array([0, 3])), "array 'enabled': id 3 at position 1 is outside 0..2"),
    (dict(values={"velocity": np.ones((3, 3))}, reductions={"vx": "mean"}),
     "array 'vx': no such value array to reduce (the step has: velocity; its column is read as a component of "
     "'velocity')"),
    (dict(values={"velocity": np.ones((3, 3))}, reductions={"Velocity": "max"}),
     "array 'Velocity': no such value array to reduce (the step has: velocity; that name is read as 'velocity')"),
    (dict(values={"c": np.ones(3), "c_max": np.ones(3)}, reductions={"c": ["min", "max"]}),
     "array 'c': its max would be written as 'c_max', the name of another value array"),
    (dict(reductions={"positions": ["mean", "std"]}), "array 'positions': positions take the mean alone"),
    (dict(groups=np.array([1, 2 ** 63 + 5, 0], np.uint64)), "array 'groups': value 9223372036854775813 on row 2 is "
                                                            "too large (above 2^63 - 1)"),
    (dict(values={"k": np.array([0, 2 ** 64 - 1, 0], np.uint64)}), "array 'k': value 18446744073709551615 on row 2"),
    (dict(masses=np.array([True, True, True])), "array 'masses': booleans, not masses"),
    (dict(groups=np.array([True, True, False])), "array 'groups': booleans, not labels"),
    (dict(enabled=np.array([2, 2])), "array 'enabled': particle 2 is enabled more than once"),
    (dict(groups=None, parents=np.array([-1, 0, 1])), "array 'parents': particle 2's parent 1 has a parent itself (0)"),
    (dict(ids=np.array([1, 2, 3]), first_id=0.5), "array 'first_id': 0.5 is not a whole number"),
    (dict(values={"velocity": np.ones((3, 2))}), "array 'velocity': shape (3, 2), expected (3, 3)"),
    (dict(values={"": np.ones(3)}), "array '': a value's name is a text, not empty"),
    (dict(wrapped=True), "array 'wrapped': wrapped positions need the periodic box they are wrapped in (box=)"),
    (dict(wrapped=True, box=vireo20.Box.orthogonal([0, 0, 0], [9, 9, 9])),
     "array 'wrapped': wrapped positions, but the box is periodic in no direction"),
])
def test_impossible_values_are_refused_by_array_and_row(bad, message):
    arguments = {**dict(groups=np.array([1, 1, 0]), masses=np.ones(3), positions=np.zeros((3, 3))), **bad}
    if "enabled" in bad:
        arguments["positions"] = np.zeros((2, 3))
    with pytest.raises(InputError, match=re.escape(message)):
        vireo20.upscale(**arguments)


def test_every_public_name_is_documented():
    for name in vireo20.__all__:
        doc = getattr(vireo20, name).__doc__
        assert doc and len(doc.split()) > 8, name
