"""vireo20._physics.group_moments against a long-double NumPy reference on random steps (groups in
shuffled order, disabled particles, trailing entries), the same bits with one thread or many, and
the refusals of bad arguments, which leave every array as it was."""
import os
import subprocess
import sys

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import quill20
import _vireo20upscaling
from vireo20 import _groups, _physics
from upscaling_model import Model


def make_step(seed, particles=300, trailing=4, offset=0.0, in_order=False):
    rng = np.random.default_rng(seed)
    parents = np.full(particles, -1, np.int32)
    heads = rng.choice(particles, size=particles // 4, replace=False)
    others = np.setdiff1d(np.arange(particles), heads)
    parents[others] = rng.choice(heads, size=others.size)
    enabled = rng.permutation(np.flatnonzero(rng.random(particles) < 0.8)).astype(np.int32)
    if in_order:
        enabled = np.arange(particles, dtype=np.int32)
    e = enabled.size
    # Each group about its parent's own spot, so that groups differ in size and place.
    spots = np.zeros((e + trailing, 3))
    spots[:e, 0] = 2.0 * np.where(parents >= 0, parents, np.arange(particles))[enabled]
    positions = offset + spots + rng.normal(size=(e + trailing, 3))
    masses = rng.uniform(0.2, 3.0, particles)
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
    generator.SetParticlesEnabledIndexes(3, quill20.array(enabled, dtype="int32"), trailing)
    centres = generator.CoordsWeightedAverage(quill20.asarray(positions), quill20.asarray(masses)).to_numpy()
    return dict(generator=generator, parents=parents, enabled=enabled, trailing=trailing, positions=positions,
                masses=masses, centres=np.array(centres), velocities=rng.normal(size=(e + trailing, 3)),
                forces=rng.normal(size=(e + trailing, 3)), radii=rng.uniform(0.1, 0.5, e + trailing))


def reference(step, with_velocities, with_forces, radii=None):
    """Every array in long double, summed over each group from the centres given."""
    model = Model(step["parents"], step["enabled"], step["trailing"])
    u, t, e = model.u, model.t, model.e
    ld = np.longdouble
    m = step["masses"][model.enabled].astype(ld)
    d = step["positions"][:e].astype(ld) - step["centres"][model.group].astype(ld)
    add = lambda w: np.array([sum(w[model.group == g], ld(0)) for g in range(u)], dtype=ld).reshape((u,) + w.shape[1:])
    mass = add(m)
    second = add(m[:, None, None] * d[:, :, None] * d[:, None, :])
    rows = lambda width: np.zeros((u + t, width)) if width else np.zeros(u + t)
    out = {"count": np.concatenate([np.bincount(model.group, minlength=u), np.ones(t)]).astype(np.int32)}
    gyration = second / mass[:, None, None]
    out["gyration_tensor"] = rows(6)
    out["gyration_tensor"][:u] = gyration[:, [0, 1, 2, 0, 0, 1], [0, 1, 2, 1, 2, 2]]
    # LAMMPS's gyration/shape/chunk from the eigenvalues, largest first; a lone member has no shape.
    out["gyration_shape"] = rows(6)
    out["gyration_shape"][:, 5] = np.nan
    many = np.flatnonzero(out["count"][:u] > 1)
    l = np.linalg.eigvalsh(gyration[many].astype(np.float64))[:, ::-1]
    out["gyration_shape"][many] = np.column_stack([l, l[:, 0] - (l[:, 1] + l[:, 2]) / 2, l[:, 1] - l[:, 2],
                                                  1.5 * (l * l).sum(1) / l.sum(1) ** 2 - 0.5])
    # MDAnalysis's principal axes, signed as the job signs them; a lone member's are x, y and z.
    out["principal_axes"] = np.tile(np.eye(3).reshape(9), (u + t, 1))
    axes = np.linalg.eigh(gyration[many].astype(np.float64))[1].transpose(0, 2, 1)
    for k in (1, 2):
        largest = np.abs(axes[:, k]).argmax(axis=1)
        axes[:, k] *= np.where(axes[np.arange(len(axes)), k, largest] < 0, -1.0, 1.0)[:, None]
    axes[:, 0] = np.cross(axes[:, 1], axes[:, 2])
    out["principal_axes"][many] = axes.reshape(-1, 9)
    reach = np.sqrt((d * d).sum(axis=1)).astype(np.float64) + (0.0 if radii is None else radii[:e])
    # A lone member (or a trailing entry) reaches its own radius.
    out["bounding_radius"] = np.zeros(u + t) if radii is None else model.take_any(radii)
    out["bounding_radius"][many] = [reach[model.group == g].max() for g in many]
    # The members' least and greatest coordinates, out by their radii: one rounding, so exact.
    out_by = np.zeros(len(step["positions"])) if radii is None else radii
    for name, corner, extreme in (("lo", -1, np.min), ("hi", 1, np.max)):
        at = step["positions"] + corner * out_by[:, None]
        out["bounding_box_" + name] = np.concatenate([[extreme(at[:e][model.group == g], axis=0) for g in range(u)],
                                                      at[e:]])
    out["radius_of_gyration"] = rows(0)
    out["radius_of_gyration"][:u] = np.sqrt(np.trace(gyration, axis1=1, axis2=2).astype(np.float64))
    trace = np.trace(second, axis1=1, axis2=2)
    inertia = trace[:, None, None] * np.eye(3) - second
    out["inertia"] = rows(6)
    out["inertia"][:u] = inertia[:, [0, 1, 2, 0, 1, 0], [0, 1, 2, 1, 2, 2]]
    if with_velocities:
        v = step["velocities"][:e].astype(ld)
        momentum = add(m[:, None] * np.cross(d, v))
        out["angular_momentum"], out["angular_velocity"] = rows(3), rows(3)
        out["angular_momentum"][:u] = momentum
        for g in range(u):
            tensor, l = inertia[g].astype(np.float64), momentum[g].astype(np.float64)
            if np.linalg.det(tensor) > 1e-6:
                out["angular_velocity"][g] = np.linalg.solve(tensor, l)
            elif out["count"][g] > 1:
                values, vectors = np.linalg.eigh(tensor)
                keep = values >= 1e-6 * values.max()
                out["angular_velocity"][g] = vectors[:, keep] @ ((vectors[:, keep].T @ l) / values[keep])
    if with_forces:
        out["torque"] = rows(3)
        out["torque"][:u] = add(np.cross(d, step["forces"][:e].astype(ld)))
    if with_velocities:
        # About each group's mean velocity, as the pass that finds the centres gives it.
        v = step["velocities"][:e].astype(ld)
        relative = v - (add(m[:, None] * v) / mass[:, None])[model.group]
        out["internal_kinetic_energy"] = rows(0)
        out["internal_kinetic_energy"][:u] = add(m * (relative * relative).sum(axis=1)) / 2
        out["velocity_tensor"] = rows(6)
        out["velocity_tensor"][:u] = add(np.stack([m * relative[:, a] * relative[:, b]
                                                   for a, b in ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))], 1))
    return out


def call(step, with_velocities=True, with_forces=True, **changes):
    arguments = dict(generator=step["generator"], centres=step["centres"], positions=step["positions"],
                     masses=step["masses"], velocities=step["velocities"] if with_velocities else None,
                     forces=step["forces"] if with_forces else None, shape=True)
    arguments.update(changes)
    return _physics.group_moments(**arguments)


@pytest.mark.parametrize("seed,offset,in_order", [(1, 0.0, False), (2, 0.0, True), (3, 1e6, False)])
@pytest.mark.parametrize("with_velocities,with_forces", [(True, True), (True, False), (False, True), (False, False)])
def test_every_array_equals_the_long_double_reference(seed, offset, in_order, with_velocities, with_forces):
    step = make_step(seed, offset=offset, in_order=in_order)
    radii = step["radii"] if with_forces else None
    got = call(step, with_velocities, with_forces, centres=None, radii=radii, velocity_tensor=with_velocities)
    want = reference(step, with_velocities, with_forces, radii)
    assert got.pop("centres").tobytes() == step["centres"].tobytes()
    assert sorted(got) == sorted(want)
    assert got["count"].dtype == np.int32
    assert_array_equal(got["count"], want["count"])
    # A dimer's long axis alone is its own: the other two are any pair across it.
    axes, wanted = got.pop("principal_axes"), want.pop("principal_axes")
    dimers = got["count"] == 2
    assert_allclose(axes[~dimers], wanted[~dimers], rtol=0, atol=1e-12)
    assert_allclose(axes[dimers, 6:], wanted[dimers, 6:], rtol=0, atol=1e-12)
    assert_allclose(np.linalg.det(axes.reshape(-1, 3, 3)), 1, rtol=0, atol=1e-12)
    for name in sorted(set(want) - {"count"}):
        assert got[name].dtype == np.float64 and got[name].shape == want[name].shape, name
        scale = np.nanmax(np.abs(want[name]), axis=tuple(range(1, want[name].ndim)), keepdims=True) + 1e-300
        if name in ("internal_kinetic_energy", "velocity_tensor"):
            # 0 for a lone member, whose reference is its velocity less its own average: rounding.
            scale = np.abs(want[name]).max() + 1e-300
        rtol = 1e-7 if name == "angular_velocity" else 1e-12
        assert_allclose(got[name] / scale, want[name].astype(np.float64) / scale, rtol=0, atol=rtol, err_msg=name)
    for name in ("bounding_box_lo", "bounding_box_hi"):
        assert_array_equal(got.pop(name), want[name], err_msg=name)
    # Trailing entries: a lone particle, zeros elsewhere.
    t = step["trailing"]
    assert (got["count"][-t:] == 1).all()
    shape = got.pop("gyration_shape")[-t:]
    assert_array_equal(got.pop("bounding_radius")[-t:], 0.0 if radii is None else radii[-t:])
    assert all((got[name][-t:] == 0).all() for name in got if name != "count")
    assert (shape[:, :5] == 0).all() and np.isnan(shape[:, 5]).all()


@pytest.mark.parametrize("seed,offset,particles,in_order", [(7, 0.0, 300, False), (8, 1e6, 300, True),
                                                             (9, 0.0, 100000, False), (10, 0.0, 100000, True)])
@pytest.mark.parametrize("with_velocities,with_forces", [(True, True), (False, False)])
def test_centres_found_in_the_pass_are_the_averages_bits(seed, offset, particles, in_order, with_velocities,
                                                         with_forces):
    step = make_step(seed, particles=particles, offset=offset, in_order=in_order)
    given = call(step, with_velocities, with_forces)
    found = call(step, with_velocities, with_forces, centres=None, mean_velocity=with_velocities)
    assert found.pop("centres").tobytes() == step["centres"].tobytes()
    kinetic = found.pop("internal_kinetic_energy", None)
    if with_velocities:
        averaged = step["generator"].CoordsWeightedAverage(quill20.asarray(step["velocities"]),
                                                           quill20.asarray(step["masses"])).to_numpy()
        assert found.pop("mean_velocity").tobytes() == np.asarray(averaged).tobytes()
    assert sorted(found) == sorted(given)
    for name in given:
        assert found[name].tobytes() == given[name].tobytes(), name
    # Masses already gathered by entry (trailing ones unread) give the same bits.
    entry_masses = np.r_[step["masses"][step["enabled"]], np.full(step["trailing"], np.nan)]
    by_entry = call(step, with_velocities, with_forces, centres=None, entry_masses=entry_masses)
    for name in given:
        assert by_entry[name].tobytes() == given[name].tobytes(), name
    assert kinetic is None or by_entry["internal_kinetic_energy"].tobytes() == kinetic.tobytes()


def test_any_real_numbers_convert_once_to_the_same_result():
    step = make_step(5)
    want = call(step)
    as_lists = call(step, centres=step["centres"].tolist(), masses=list(step["masses"]))
    strided = np.zeros((len(step["positions"]), 6))
    strided[:, ::2] = step["positions"]
    as_view = call(step, positions=strided[:, ::2])
    for got in (as_lists, as_view):
        for name in want:
            assert_array_equal(got[name], want[name])
    whole = make_step(6)
    whole["masses"] = np.ones_like(whole["masses"])
    assert_array_equal(call(whole, masses=np.ones(len(whole["masses"]), np.int64))["inertia"], call(whole)["inertia"])


def test_one_thread_and_the_default_give_the_same_bits(tmp_path):
    script = (
        "import sys, numpy as np\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from test_vireo20_physics import make_step, call\n"
        "step = make_step(9, particles=200000, trailing=5)\n"
        "found = call(step, centres=None, mean_velocity=True)\n"
        "from vireo20 import _physics\n"
        "spread = _physics.group_spread(step['generator'], step['velocities'])\n"
        "median = _physics.group_median(step['generator'], step['velocities'])\n"
        "passes = {name: getattr(_physics, name)(step['generator'], step['velocities'])\n"
        "          for name in ('group_sum', 'group_average', 'group_lowest', 'group_highest')}\n"
        "np.savez(sys.argv[1], **call(step, radii=step['radii']), **{'found_' + k: v for k, v in found.items()},\n"
        "         spread=spread, median=median, **passes)\n")
    outputs = []
    for threads in ("1", None):
        env = dict(os.environ)
        env.pop("VIREO20_THREADS", None)
        if threads:
            env["VIREO20_THREADS"] = threads
        path = tmp_path / f"threads_{threads}.npz"
        subprocess.run([sys.executable, "-c", script, str(path)], check=True, env=env)
        outputs.append(np.load(path))
    one, default = outputs
    assert sorted(one.files) == sorted(default.files)
    for name in one.files:
        assert one[name].tobytes() == default[name].tobytes(), name


def bad_cases():
    step = lambda: make_step(4, particles=40, trailing=2)
    return [
        ("centres (U+T, 2)", lambda s: dict(centres=s["centres"][:, :2]), ValueError,
         "group_moments: centres: shape (%d, 2), expected (n, 3)", lambda s: (len(s["centres"]),)),
        ("centres one row short", lambda s: dict(centres=s["centres"][1:]), ValueError,
         "group_moments: centres has %d rows; the step needs %d (%d upscaled particles, then 2 trailing entries)",
         lambda s: (len(s["centres"]) - 1, len(s["centres"]), len(s["centres"]) - 2)),
        ("a mean velocity without velocities", lambda s: dict(centres=None, velocities=None, mean_velocity=True),
         ValueError, "group_moments: mean_velocity: there are no velocities to average", lambda s: ()),
        ("a velocity tensor about given centres", lambda s: dict(velocity_tensor=True), ValueError,
         "group_moments: velocity_tensor: it needs the velocities, about the mean velocity the pass finds (centres "
         "None)", lambda s: ()),
        ("positions one row more", lambda s: dict(positions=np.vstack([s["positions"], [0, 0, 0]])), ValueError,
         "group_moments: positions has %d rows; the step needs %d (%d enabled positions, then 2 trailing entries)",
         lambda s: (len(s["positions"]) + 1, len(s["positions"]), len(s["positions"]) - 2)),
        ("velocities short", lambda s: dict(velocities=s["velocities"][:3]), ValueError,
         "group_moments: velocities has 3 rows; the step needs %d (%d enabled positions, then 2 trailing entries)",
         lambda s: (len(s["positions"]), len(s["positions"]) - 2)),
        ("radii without the trailing ones", lambda s: dict(radii=s["radii"][:-2]), ValueError,
         "group_moments: radii has %d rows; the step needs %d (%d enabled positions, then 2 trailing entries)",
         lambda s: (len(s["positions"]) - 2, len(s["positions"]), len(s["positions"]) - 2)),
        ("masses by entry", lambda s: dict(masses=s["masses"][:-1]), ValueError,
         "group_moments: masses has 39 entries; the generator has 40 source particles (one mass each)", lambda s: ()),
        ("entry masses without the trailing ones", lambda s: dict(entry_masses=s["masses"][s["enabled"]]),
         ValueError, "group_moments: entry_masses has %d rows; the step needs %d (%d enabled positions, then 2 "
         "trailing entries)", lambda s: (len(s["positions"]) - 2, len(s["positions"]), len(s["positions"]) - 2)),
        ("masses (N, 1)", lambda s: dict(masses=s["masses"][:, None]), ValueError,
         "group_moments: masses: shape (40, 1), expected (n,)", lambda s: ()),
        ("complex forces", lambda s: dict(forces=s["forces"].astype(complex)), ValueError,
         "group_moments: forces: dtype complex128, expected float64 (or real numbers)", lambda s: ()),
        ("text masses", lambda s: dict(masses=["a"] * 40), ValueError,
         "group_moments: masses: dtype <U1, expected float64 (or real numbers)", lambda s: ()),
        ("ragged positions", lambda s: dict(positions=[[0, 0, 0], [1, 2]]), ValueError,
         "group_moments: positions: not an array of numbers", lambda s: ()),
        ("not a generator", lambda s: dict(generator=object()), ValueError,
         "group_moments: generator: got object, expected the _vireo20upscaling.MPUpscalingGenerator of the step",
         lambda s: ()),
        ("no step yet", lambda s: dict(generator=_vireo20upscaling.MPUpscalingGenerator(
            quill20.array(s["parents"], dtype="int32"))), RuntimeError,
         "group_moments: the generator holds no step yet; call SetParticlesEnabledIndexes first", lambda s: ()),
    ], step


@pytest.mark.parametrize("case", bad_cases()[0], ids=lambda case: case[0])
def test_bad_arguments_raise_a_clear_error_and_change_nothing(case):
    _, change, error, text, fill = case
    step = bad_cases()[1]()
    kept = {name: np.copy(step[name]) for name in ("centres", "positions", "masses", "velocities", "forces")}
    with pytest.raises(error) as raised:
        call(step, **change(step))
    assert str(raised.value) == text % fill(step)
    for name, before in kept.items():
        assert_array_equal(step[name], before)
    # The generator still answers for its step.
    assert call(step)["count"].sum() == len(step["positions"])


@pytest.mark.parametrize("name", ["group_spread", "group_median", "group_sum", "group_average", "group_lowest",
                                  "group_highest", "group_distinct"])
def test_per_member_passes_take_columns_alike_and_refuse_values_that_do_not_fit_the_step(name):
    """(Spreads and medians against pandas: test_vireo20_upscale.) Sums and averages are the bits of
    the generator's Sum and WeightedAverage of each column, extremes those of the entries' fold,
    distinct counts pandas's nunique, signed zeros, NaN, infinities and magnitudes far apart included."""
    step, method = make_step(11), getattr(_physics, name)
    weights = np.concatenate([step["masses"][step["enabled"]], np.full(step["trailing"], 7.0)])
    if name == "group_average":
        method = lambda generator, values: _physics.group_average(generator, values, weights)
    values = step["positions"].copy()
    values[::7] = values[-1] = -0.0
    values[3::11, 1], values[5::13, 2] = np.nan, -np.inf
    values[2::5, 0] *= np.resize([1e16, -1e16, 3e15], len(values[2::5]))   # sums whose bits hang on their order
    found = method(step["generator"], values)
    t, generator = step["trailing"], step["generator"]
    # A trailing entry has no spread, and is its own sum, median and extreme, its one distinct value.
    trailing = np.full((t, 3), np.nan) if name == "group_spread" else \
        np.where(np.isnan(values[-t:]), 0.0, 1.0) if name == "group_distinct" else values[-t:]
    assert found[-t:].tobytes() == trailing.tobytes()
    if name == "group_sum":
        expected = np.stack([generator.Sum(quill20.grid_function(np.ascontiguousarray(values[:, k]))).to_numpy()
                             for k in range(3)], axis=1)
        assert found.tobytes() == expected.tobytes()
    elif name == "group_average":
        average = lambda masses: np.stack([generator.WeightedAverage(quill20.grid_function(
            np.ascontiguousarray(values[:, k])), quill20.asarray(masses)).to_numpy() for k in range(3)], axis=1)
        assert found.tobytes() == average(step["masses"]).tobytes()
        assert _physics.group_average(generator, values).tobytes() == average(np.ones(len(step["masses"]))).tobytes()
        with pytest.raises(ValueError, match=r"group_average: weights has \d+ rows; the values have \d+"):
            _physics.group_average(generator, values, weights[1:])
    elif name == "group_distinct":
        import pandas as pd
        element = generator.GetElementParticlesIndexes().to_numpy()[:-t]
        assert found[:-t].tolist() == pd.DataFrame(values[:-t]).groupby(element).nunique().to_numpy().tolist()
    elif name in ("group_lowest", "group_highest"):
        element = generator.GetElementParticlesIndexes().to_numpy().astype(np.int32)
        expected = np.full_like(found, np.nan)
        for k in range(3):
            low, high = np.full(len(found), np.nan), np.full(len(found), np.nan)
            _groups.group_extents(element, np.ascontiguousarray(values[:, k]), low, high)
            expected[:, k] = low if name == "group_lowest" else high
        assert found.tobytes() == expected.tobytes()
    assert found[:, 0].tobytes() == method(generator, np.ascontiguousarray(values[:, 0])).tobytes()
    with pytest.raises(ValueError, match=rf"{name}: values has 3 rows; the step needs \d+"):
        method(generator, values[:3])


@pytest.mark.parametrize("enabled,trailing", [(None, 3), (None, 0), ([2], 0), ([2, 1, 0], 1)])
def test_small_steps_give_rows_for_the_trailing_entries_and_lone_particles(enabled, trailing):
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array([-1, 0, -1], dtype="int32"))
    generator.SetParticlesEnabledIndexes(1, None if enabled is None else quill20.array(enabled, dtype="int32"),
                                         trailing)
    e = 0 if enabled is None else len(enabled)
    u = len({0 if p < 2 else 2 for p in enabled or []})
    rows = np.arange(3 * (e + trailing), dtype=float).reshape(-1, 3)
    centres = generator.CoordsWeightedAverage(quill20.asarray(rows), quill20.asarray(np.ones(3))).to_numpy()
    got = _physics.group_moments(generator, centres, rows, np.ones(3), velocities=rows, forces=rows)
    assert all(len(array) == u + trailing for array in got.values())
    assert (got["count"][u:] == 1).all() and got["count"][:u].sum() == e
    # A lone particle sits on its centre (mass 1 makes the average exact): nothing about it turns.
    lone = got["count"] == 1
    assert all(not got[name][lone].any() for name in got if name != "count")


@pytest.mark.parametrize("contacts,groups,scale", [(0, 1, 1.0), (1, 1, 0.5), (5000, 37, 0.5), (20000, 20000, 1.0)])
def test_contact_end_tensors_are_the_bits_of_a_bincount_at_each_end(contacts, groups, scale):
    rng = np.random.default_rng(contacts)
    first, second = rng.integers(0, groups, contacts), rng.integers(0, groups, contacts)
    a, b = rng.normal(size=(contacts, 3)) * 10.0 ** rng.integers(-8, 8, (contacts, 1)), rng.normal(size=(contacts, 3))
    out = np.full(groups * 6, np.nan)
    _groups.contact_end_tensors(first, second, a.reshape(-1), b.reshape(-1), scale, out)
    ends = lambda w: np.bincount(first, w, minlength=groups) + np.bincount(second, w, minlength=groups)
    want = np.stack([ends(scale * a[:, i] * b[:, j]) for i, j in ((0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2))], 1)
    assert out.tobytes() == want.reshape(-1).tobytes()
    if contacts:
        second[-1] = groups
        with pytest.raises(IndexError, match=f"contact {contacts - 1} has an end outside 0..{groups - 1}"):
            _groups.contact_end_tensors(first, second, a.reshape(-1), b.reshape(-1), scale, out)
