"""A whole run as one table, a row per upscaled particle and step, read back from its step files:
`upscaled.csv` (`--table`) and `RunResult.to_pandas()`. The columns are `timestep`, `time` where the
input gives every step's, then those of `Upscaled.to_pandas()`; a column some steps lack is empty
there. Numbers are written as Python's repr, which reads back to the same double.
"""
import os

import numpy as np

from . import filesafe

TABLE = "upscaled.csv"


def step_columns(path, timestep, time=None):
    """The table's columns of one step file."""
    from .upscale import table_columns
    from .write_vtk import read_step_file
    points, arrays, _ = read_step_file(path)
    columns = {"timestep": np.full(len(points), timestep, np.int64)}
    if time is not None:
        columns["time"] = np.full(len(points), time, np.float64)
    columns.update(table_columns(points, arrays))
    return columns


def step_names(path, timestep, time=None):
    """The names of `step_columns(path, timestep, time)`, from the step file's head alone: its arrays'
    names and widths lie before their data, which the header of the table does not need."""
    import html
    import re
    from .upscale import AXES, component_names
    head = b""
    with open(path, "rb") as step:
        while b"</PointData>" not in head and b"<AppendedData" not in head:
            more = step.read(1 << 16)
            if not more:
                break
            head += more
    found = re.search(rb"<PointData[^>]*>(.*?)</PointData>", head, re.S)
    names = ["timestep"] + (["time"] if time is not None else []) + list(AXES)
    for array in re.finditer(rb"<DataArray\b([^>]*)>", found.group(1) if found else b""):
        fields = dict(re.findall(rb'(\w+)="([^"]*)"', array.group(1)))
        name = html.unescape(fields[b"Name"].decode())
        width = int(fields.get(b"NumberOfComponents", 1))
        if name != "image_of":
            names += [name] if width == 1 else [f"{name}_{part}" for part in component_names(name, width)]
    return names


def _steps(folder, series, times):
    timed = times is not None and len(times) == len(series) and None not in times
    for k, (timestep, name) in enumerate(series):
        yield os.path.join(folder, name), timestep, times[k] if timed else None


def table(folder, series, times=None):
    """The run's table as a pandas DataFrame."""
    import pandas
    frames = [pandas.DataFrame(step_columns(*step)) for step in _steps(folder, series, times)]
    return pandas.concat(frames, ignore_index=True, sort=False) if frames else pandas.DataFrame()


def _header(names):
    import csv
    import io
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(names)
    return text.getvalue().encode()


def native_rows(columns, names, rows):
    """`rows` (`csv_rows` or `dump_rows` of the native module) of `columns` in the order of `names`,
    a column a step lacks NaN; None where a value is neither a double nor an integer within 2^53
    (which a double holds whole), for pandas to write."""
    kinds = {name: np.asarray(values).dtype.kind for name, values in columns.items()}
    if not all(kind == "f" or kind in "iu" and (not len(columns[name]) or np.abs(columns[name]).max() <= 1 << 53)
               for name, kind in kinds.items()):
        return None
    values = np.full((len(next(iter(columns.values()), ())), len(names)), np.nan)
    for k, name in enumerate(names):
        if name in columns:
            values[:, k] = columns[name]
    return rows(values, np.array([kinds.get(name, "f") in "iu" for name in names], np.uint8))


def _rows(columns, names):
    """A step's lines of the table, natively unless a timestep is past 2^53."""
    from ._lammpsdump import csv_rows
    text = native_rows(columns, names, csv_rows)
    if text is None:
        import pandas
        text = pandas.DataFrame(columns).reindex(columns=names).to_csv(
            None, header=False, index=False, lineterminator="\n").encode()
    return text


def write_table(folder, series, times=None):
    """Writes the run's table as `TABLE` in `folder`, a step at a time (the run's whole table may not fit
    in memory): beside, flushed, checked, then renamed into place."""
    steps = list(_steps(folder, series, times))
    names = {}
    for step in steps:
        # Every step's columns first, so that one header holds them all.
        names.update(dict.fromkeys(step_names(*step)))
    path = os.path.join(folder, TABLE)
    temporary = f"{path}.part"
    with filesafe.writing(path):
        with open(temporary, "wb") as out:
            written = out.write(_header(list(names)))
            for step in steps:
                columns = step_columns(*step)
                if not names.keys() >= columns.keys():
                    # The head read for the header missed a column: never a row without it.
                    raise RuntimeError(f"{step[0]}: the table's header lacks {sorted(columns.keys() - names.keys())}")
                written += out.write(_rows(columns, list(names)))
        filesafe.checked_file(temporary, b"\n", (written, None))
        os.replace(temporary, path)
    return path
