"""What an input holds, as `vireo20 inspect` prints it: its frames, and one frame's particles, box,
columns, groups and contacts, by the names a run takes (`--group-by`, `--mean NAME`,
`--contact-stress`), before anything is run.
"""
import numpy as np

from .frames import AXES, InputError


def describe(series, name, frame=None, group_by=None, listing=False):
    """Text lines: the series (its frames counted where it has a length), then frame `frame` (default:
    the first that has particles, a pour's first frames having none), its groups by `group_by` where
    given. `listing`: the frames are listed after these lines."""
    # A compressed dump is inflated whole to count its frames: only where a frame is asked by number.
    cheap = getattr(series, "cheap_length", True) or frame is not None
    try:
        count = len(series) if cheap else None
    except TypeError:
        count = None
    untold = "frames listed below" if listing else "frames not counted (a stream)" if cheap else \
        "frames not counted (a compressed file is read to its end to count them: --list does)"
    lines = [f"{name}: {untold if count is None else _plural(count, 'frame')}",
             *(f"warning: {note}" for note in getattr(series, "notes", tuple)())]
    chosen = None
    if frame is not None:
        if count is not None and not -count <= frame < count:
            raise ValueError(f"--frame {frame} is outside the series of {count} frames")
        chosen = series[frame] if count is not None else next(f for k, f in enumerate(series) if k == frame)
    else:
        for chosen in series:
            if len(chosen.positions):
                break
        if chosen is None:
            return lines
    if group_by is not None:
        chosen.default_group = group_by
    return lines + [""] + describe_frame(chosen)


def frame_table(series):
    """Text lines: a line a frame, its timestep (and time), particles and contacts: where a pour
    grows, a run restarts or a dump was appended to."""
    lines = [f"{'frame':>6}  {'timestep':>12}  {'time':>12}  {'particles':>10}  {'contacts':>9}"]
    loaders, index = series.loaders(), 0
    # A loader let go before the next is taken: a stream then passes over the frames it only outlined.
    try:
        while (loader := next(loaders, None)) is not None:
            outline = getattr(loader, "outline", lambda: None)()
            if outline is None:
                frame = loader.load()
                outline = (frame.timestep, frame.time, len(frame.positions),
                           None if frame.contacts is None else len(frame.contacts))
                del frame
            del loader
            timestep, time, particles, contacts = outline
            time = "" if time is None else f"{time:.6g}"
            contacts = "" if contacts is None else contacts
            lines.append(f"{index:>6}  {str(timestep):>12}  {time:>12}  {particles:>10}  {contacts:>9}")
            index += 1
        series.finish()
    except InputError as error:
        # A dump still being written: its frames are listed up to the cut, which is told.
        if not getattr(error, "cut_short", False):
            raise
        at = f"at step {error.step} " if error.step not in ("-", None) else ""
        lines.append(f"the frame {at}is cut short: {error.problem}")
    return lines


def describe_frame(frame):
    """Text lines of one frame: what `vireo20 inspect` prints of it."""
    n = len(frame.positions)
    form = "" if not frame.generator_form else \
        f" ({len(frame.enabled)} enabled of {len(frame.parents)} particles, {len(frame.trailing_masses)} trailing)"
    lines = [f"timestep {frame.timestep}" + ("" if frame.time is None else f" (time {frame.time!r})") +
             f": {_plural(n, 'entry' if frame.generator_form else 'particle')}{form}"
             + ("" if frame.units is None else f", {frame.units} units")]
    lines.append("box: " + _box(frame.box) + (", positions wrapped into it" if frame.wrapped else ""))
    if n:
        low, high = frame.positions.min(axis=0), frame.positions.max(axis=0)
        lines.append("positions span " + ", ".join(f"{a} {lo:.6g} .. {hi:.6g}" for a, lo, hi in zip(AXES, low, high))
                     + ("; 2d, as the file says" if frame.dimension == 2 else
                        "; one z plane: a 2d simulation takes --dimension 2" if n > 1 and low[2] == high[2] else ""))
    lines.append("columns:")
    lines += [f"  {text}" for text in _columns(frame.columns)]
    lines.append("masses: " + _masses(frame))
    lines.append("groups: " + _groups(frame))
    if frame.contacts is not None:
        walls = int(np.count_nonzero(frame.contact_kinds)) if frame.contact_kinds is not None else 0
        values = ", ".join(f"{key}{_width(v)}" for key, v in (frame.contact_values or {}).items()) or "none"
        lines.append(f"contacts: {_plural(len(frame.contacts), 'pair')} ({walls} with walls); values: {values}")
    if frame.bonds is not None:
        lines.append(f"bonds: {_plural(len(frame.bonds), 'pair')} (the topology's)" +
                     ("; wrapped groups are made whole along them" if frame.wrapped else ""))
    return lines


def _plural(count, word):
    return f"{count} {word if count == 1 else ('entries' if word == 'entry' else word + 's')}"


def _width(values):
    return f" ({np.shape(values)[1]} components)" if np.ndim(values) == 2 else ""


def _box(box):
    if box is None:
        return "none (the input gives none: --box gives one)"
    periodic = "".join(a for a, p in zip(AXES, box.periodic) if p) or "none"
    if not box.triclinic:
        spans = ", ".join(f"{a} {lo:.10g} .. {hi:.10g}" for a, lo, hi in zip(AXES, box.lo, box.hi))
        return f"{spans}; periodic: {periodic}"
    edges = "; ".join(" ".join(f"{v:.10g}" for v in edge) for edge in box.edges)
    return f"origin {' '.join(f'{v:.10g}' for v in box.origin)}, edges a b c {edges}; periodic: {periodic}"


def _columns(columns):
    if not columns:
        return ["none"]
    wide = max(len(name) for name in columns)
    return [f"{name:<{wide}}  {_column(values)}" for name, values in columns.items()]


def _column(values):
    values = np.asarray(values)
    kind = f"{values.dtype.name}{_width(values)}"
    if values.dtype.kind in "SUO":
        distinct = np.unique(values)
        shown = ", ".join(v.decode() if isinstance(v, bytes) else str(v) for v in distinct[:6])
        return f"labels, {len(distinct)} distinct: {shown}{' ...' if len(distinct) > 6 else ''}"
    finite = values[np.isfinite(values)] if values.dtype.kind == "f" else values
    if not finite.size:
        return kind + ("" if not values.size else ", no finite value")
    return f"{kind}, {finite.min():.6g} .. {finite.max():.6g}"


def _masses(frame):
    """Where a run takes the masses from, or what it needs to be told."""
    columns = frame.columns
    sized = next((name for name in ("radius", "diameter") if name in columns), None)
    # MDAnalysis gives 0 to an element it does not know.
    unset = int(np.count_nonzero(~(np.asarray(columns["mass"]) > 0))) if "mass" in columns else 0
    if unset:
        return f"the input's, but {_plural(unset, 'particle')} {'has' if unset == 1 else 'have'} none above 0: " \
               "give --mass TYPE=VALUE for each type"
    if frame.generator_form or "mass" in columns:
        return "given (the input's)"
    if sized and "density" in columns:
        return f"from {sized} and density (solid spheres)"
    if columns.get("element") is not None and np.asarray(columns["element"]).dtype.kind == "S":
        from .reading import element_masses
        names = np.unique(columns["element"])
        lacking = [name.decode(errors="replace") for name, mass in zip(names, element_masses(names)) if not mass > 0]
        if not lacking:
            return "the element table's standard atomic masses (--mass gives others)"
        if len(lacking) < len(names):
            # The others take the table's: only these need giving.
            return f"the element table's, but none for {', '.join(lacking)}: give --mass " + \
                " ".join(f"{name}=VALUE" for name in lacking)
    needed = "none: give --mass TYPE=VALUE for each type"
    return needed + (f", or --density VALUE (spheres of the {sized} column)" if sized else "")


def _whole(values, name=None):
    """Whether a column can name groups: integers, or reals that are all whole numbers of a compute, fix
    or variable (a cluster/atom's ids, which LAMMPS dumps as reals; not a mass of 1.0)."""
    values = np.asarray(values)
    if values.ndim != 1 or values.dtype.kind not in "iuf" or \
            (values.dtype.kind == "f" and name is not None and not name.startswith(("c_", "f_", "v_", "d_"))):
        return False
    with np.errstate(invalid="ignore"):
        return values.dtype.kind != "f" or bool(len(values) and (values == np.round(values)).all()
                                                and (np.abs(values) < 2.0 ** 63).all())


def _groups(frame):
    if frame.generator_form:
        return f"{len(np.unique(frame.parents[frame.parents >= 0]))} parents (given by the input)"
    default = frame.default_group
    labels = frame.columns.get(default)
    whole = [name for name, values in frame.columns.items() if _whole(values, name) and name != default]
    others = f"; --group-by takes an integer column ({', '.join(whole)})" if whole else ""
    if labels is None:
        return f"no '{default}' column: each particle is upscaled alone unless --group-by, --cluster or bins " \
               f"group them{others}"
    if not _whole(labels):
        return f"'{default}' holds other than whole numbers, which groups need{others}"
    grouped = np.asarray(labels)[np.asarray(labels) > 0]
    return f"by '{default}': {_plural(len(np.unique(grouped)), 'group')}, " \
           f"{len(labels) - len(grouped)} particles in none{others}"
