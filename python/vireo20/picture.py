"""One picture of a step: the source particles and the upscaled centres, seen along y."""
import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure


def draw_step(path, source_points, source_masses, centres, masses, title):
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
