"""One picture of a step: the source particles (grey, darker where they crowd, larger when heavier) and
the upscaled centres (red crosses), seen along y, x to the right and z up, under two lines that say so.

Drawn with NumPy into a pixel grid and written by VTK's PNG writer, from at most a fixed number of
sampled points: drawing costs about a tenth of a second whatever the step's size (taking the sample is
a pass over the positions), where a plotting library would cost seconds to import and draw. Crowded
steps show a slab through the middle, a fifth of the depth, so the clusters stay apart.
"""
import numpy as np

WIDTH, HEIGHT, MARGIN = 840, 720, 24
# The band above the drawing that holds its caption's lines.
LINE_HEIGHT, CAPTION_GREY = 20, 60
GREY_ALPHA = 0.35
RED = (200, 20, 60)


def _sample(points, *others, limit):
    """At most `limit` rows, every k-th one: the same picture every run, drawn in bounded time."""
    stride = max(1, -(-len(points) // limit)) if limit else 1
    return (points[::stride],) + tuple(o[::stride] for o in others)


def _disc(radius):
    r = int(np.ceil(radius))
    dy, dx = np.mgrid[-r:r + 1, -r:r + 1]
    inside = dx * dx + dy * dy <= radius * radius + 0.25
    return dx[inside], dy[inside]


def source_sample(points, masses, limit=200_000):
    """What the picture keeps of a step's particles: crowded steps' slab, then at most `limit` rows,
    copied, with the slab's (middle, half depth) or None. Taken while the step is reduced, it lets
    the frame's columns go before the picture is drawn (and is all a Dask worker sends back)."""
    points, masses = np.asarray(points, float), np.asarray(masses, float)
    slab = None
    if len(points) > 3000:
        low, high = points[:, 1].min(), points[:, 1].max()
        slab = (0.5 * (low + high), 0.1 * (high - low))
        inside = np.abs(points[:, 1] - slab[0]) <= slab[1]
        points, masses = points[inside], masses[inside]
    points, masses = _sample(points, masses, limit=limit)
    return points.copy(), masses.copy(), slab


def caption(timestep, particles, upscaled, sample):
    """The first line above a step's picture: what it shows."""
    slab = "; the middle fifth of their depth in y shown" if sample[2] is not None else ""
    return f"timestep {timestep}: {particles:,} particles (grey), {upscaled:,} upscaled (red crosses){slab}"


def _caption_band(lines):
    """The caption's lines drawn dark on white, RGB rows from the bottom WIDTH wide, by VTK's FreeType
    text renderer (no window needed); None where VTK has none."""
    try:
        from vtkmodules.util import numpy_support
        from vtkmodules.vtkCommonDataModel import vtkImageData
        from vtkmodules.vtkRenderingCore import vtkTextProperty
        from vtkmodules.vtkRenderingFreeType import vtkFreeTypeTools
    except ImportError:
        return None
    style = vtkTextProperty()
    style.SetFontSize(14)
    style.SetFontFamilyToArial()
    band = np.zeros((LINE_HEIGHT * len(lines) + 4, WIDTH))
    for k, line in enumerate(lines):
        rendered = vtkImageData()
        if not vtkFreeTypeTools.GetInstance().RenderString(style, line, 72, rendered):
            return None
        width, height, _ = rendered.GetDimensions()
        coverage = numpy_support.vtk_to_numpy(rendered.GetPointData().GetScalars())[:, 3].reshape(height, width)
        rows, columns = min(height, LINE_HEIGHT), min(width, WIDTH - MARGIN)
        # The first line on top; the rows count from the bottom.
        bottom = LINE_HEIGHT * (len(lines) - 1 - k) + 2
        band[bottom:bottom + rows, MARGIN // 2:MARGIN // 2 + columns] = coverage[:rows, :columns] / 255.0
    shade = np.rint(255 - (255 - CAPTION_GREY) * band).astype(np.uint8)
    return np.repeat(shade.reshape(-1, 1), 3, axis=1)


def draw_sample(path, sample, centres, limit=200_000, text=None):
    """Writes the PNG picture of a step from its `source_sample` and its upscaled centres, under the
    line `text` where given."""
    from vtkmodules.util import numpy_support
    from vtkmodules.vtkCommonDataModel import vtkImageData
    from vtkmodules.vtkIOImage import vtkPNGWriter

    source_points, source_masses, slab = sample
    centres = np.asarray(centres, float)
    if slab is not None:
        centres = centres[np.abs(centres[:, 1] - slab[0]) <= slab[1]]
    (centres,) = _sample(centres, limit=limit)

    everything = np.concatenate([source_points[:, [0, 2]], centres[:, [0, 2]]]) if len(source_points) + len(centres) \
        else np.zeros((1, 2))
    low, high = everything.min(axis=0), everything.max(axis=0)
    scale = min((WIDTH - 2 * MARGIN) / max(high[0] - low[0], 1e-300), (HEIGHT - 2 * MARGIN) / max(high[1] - low[1], 1e-300))
    offset = np.array([WIDTH, HEIGHT]) / 2 - scale * (low + high) / 2

    def pixels(points):
        xy = np.rint(points[:, [0, 2]] * scale + offset).astype(np.int64)
        return xy[:, 0], xy[:, 1]

    # Grey: how many discs cover a pixel, each letting through (1 - alpha) of the white behind it.
    x, y = pixels(source_points)
    heaviest = float(np.max(source_masses, initial=0.0)) or 1.0
    radius = 1.0 + 2.0 * np.sqrt(np.clip(source_masses / heaviest, 0, 1))
    # Each disc size stamps its discs at once: the pixel counts of the points of that size, added up
    # at every offset of the disc, cost the same whatever the number of points.
    cover = np.zeros((HEIGHT, WIDTH), np.int32)
    for size in (1.5, 2.2, 3.0):
        pick = (radius <= size) & (radius > size - 0.75) if size > 1.5 else radius <= size
        if not pick.any():
            continue
        counts = np.bincount(y[pick] * WIDTH + x[pick], minlength=WIDTH * HEIGHT).astype(np.int32)
        counts = counts.reshape(HEIGHT, WIDTH)
        for dx, dy in zip(*_disc(size)):
            cover[max(dy, 0):HEIGHT + min(dy, 0), max(dx, 0):WIDTH + min(dx, 0)] += \
                counts[max(-dy, 0):HEIGHT - max(dy, 0), max(-dx, 0):WIDTH - max(dx, 0)]
    cover = cover.reshape(-1)
    shade = (255 * (1 - GREY_ALPHA) ** cover).astype(np.uint8)
    image = np.repeat(shade[:, None], 3, axis=1)
    # Red crosses on top.
    x, y = pixels(centres)
    for k in range(-3, 4):
        for px, py in ((x + k, y + k), (x + k, y - k)):
            keep = (px >= 0) & (px < WIDTH) & (py >= 0) & (py < HEIGHT)
            image[py[keep] * WIDTH + px[keep]] = RED
    # A frame around the drawing area.
    frame = np.zeros((HEIGHT, WIDTH), bool)
    frame[[MARGIN // 2, HEIGHT - MARGIN // 2], MARGIN // 2:WIDTH - MARGIN // 2] = True
    frame[MARGIN // 2:HEIGHT - MARGIN // 2, [MARGIN // 2, WIDTH - MARGIN // 2]] = True
    image[frame.reshape(-1)] = (90, 90, 90)

    band = _caption_band([text, f"x from {low[0]:.4g} to {high[0]:.4g} to the right, z from {low[1]:.4g} to "
                                f"{high[1]:.4g} up"]) if text else None
    if band is not None:
        image = np.concatenate([image, band])   # rows count from the bottom: the band goes on top
    data = vtkImageData()
    data.SetDimensions(WIDTH, len(image) // WIDTH, 1)
    scalars = numpy_support.numpy_to_vtk(np.ascontiguousarray(image), deep=True)
    data.GetPointData().SetScalars(scalars)
    writer = vtkPNGWriter()
    # zlib's fastest level, in a third to a half of the default level's time, for files within a
    # fifth of its size: at the end of a 1-frame run the picture is the last file to be ready.
    writer.SetCompressionLevel(1)
    # Made in memory and written as any other file: libpng writing it itself printed its own
    # warnings on a full disk before the job's one line.
    writer.WriteToMemoryOn()
    writer.SetInputData(data)
    from . import filesafe
    from .write_vtk import run_writer
    run_writer(writer, path)
    filesafe.write_bytes(path, numpy_support.vtk_to_numpy(writer.GetResult()).tobytes())
