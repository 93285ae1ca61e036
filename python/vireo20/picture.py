"""One picture of a step: the source particles and the upscaled centres, seen along y, from at most a
fixed number of sampled points.

Crowded steps show a slab through the middle, a fifth of the depth, so the clusters stay apart.
"""
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure


def _sample(points, *others, limit):
    """At most `limit` rows, every k-th one: the same picture every run, drawn in bounded time."""
    stride = max(1, -(-len(points) // limit)) if limit else 1
    return (points[::stride],) + tuple(o[::stride] for o in others)


def draw_step(path, source_points, source_masses, centres, title, limit=200_000):
    source_points, source_masses = np.asarray(source_points), np.asarray(source_masses)
    centres = np.asarray(centres)
    source_points, source_masses = _sample(source_points, source_masses, limit=limit)
    (centres,) = _sample(centres, limit=limit)
    if len(source_points) > 3000:
        low, high = source_points[:, 1].min(), source_points[:, 1].max()
        middle, half = 0.5 * (low + high), 0.1 * (high - low)
        inside = np.abs(source_points[:, 1] - middle) <= half
        source_points, source_masses = source_points[inside], source_masses[inside]
        centres = centres[np.abs(centres[:, 1] - middle) <= half]
    figure = Figure(figsize=(7, 6), dpi=120)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    scale = 12.0 / max(float(np.max(source_masses, initial=0.0)), 1e-300)
    axes.scatter(source_points[:, 0], source_points[:, 2], s=np.asarray(source_masses) * scale,
                 c="0.55", alpha=0.6, linewidths=0, label="source particles")
    axes.scatter(centres[:, 0], centres[:, 2], s=14, marker="x", c="crimson", linewidths=0.8,
                 label="upscaled centres of mass")
    axes.set_xlabel("x")
    axes.set_ylabel("z")
    axes.set_aspect("equal", adjustable="datalim")
    axes.set_title(title)
    axes.legend(loc="upper right", fontsize="small")
    figure.savefig(path)
