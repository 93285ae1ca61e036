"""Where a run's results go: a partial folder that holds every step's .vtp file, the .pvd series, the
optional LAMMPS dump, the picture, `summary.csv` and a manifest of what is complete.

The manifest lists each finished step with its file's size and CRC-32 and the dump's size after it,
so `--resume` keeps exactly the steps whose files check and carries on from the first that does not.
It is a journal, a JSON line appended a step, and the series and the summary, which list the finished
steps too, are rewritten only once the steps have grown by an eighth since, and at the end: a step
costs the same however many came before it (rewriting the three whole each step made a run of 3000
small frames take 100 s instead of a few).
"""
import concurrent.futures
import csv
import io
import json
import os
import shutil
import zlib

import numpy as np

from . import filesafe

STEM = "upscaled"
MANIFEST = ".vireo20-manifest.jsonl"
SUMMARY = "summary.csv"
SUMMARY_COLUMNS = ("timestep", "entries", "upscaled", "trailing", "mass_before", "mass_after", "drift", "seconds",
                   "largest", "spanning")
PICTURE_POINTS = 200_000


def step_file(index):
    return f"{STEM}_{index:06d}.vtp"


def series_names():
    """What a finished series folder may hold besides step files: a later run may replace these."""
    from .averaging import PROFILE
    from .write_table import TABLE
    return {f"{STEM}.pvd", f"{STEM}.png", SUMMARY, PROFILE, TABLE}


def summary_row(result):
    # The members of the largest upscaled particle: a cluster analysis's first plot through time.
    # The physics' counts hold them already; without physics, from the entries (a pass over ten
    # million of them took 30 ms).
    largest = getattr(result, "largest", None)
    if largest is None:
        count = result.physics.get("count") if result.physics else None
        element = None if count is not None else np.asarray(result.element)[:result.e]
        members = np.asarray(count)[:result.u] if count is not None else np.bincount(element)
        largest = int(members.max()) if len(members) else 0
    # The clusters that span the box (percolation through time); none told where nothing clustered.
    spans = getattr(result, "spans", None)
    return [result.timestep, result.e + result.t, result.u, result.t, repr(result.mass_before),
            repr(result.mass_after), repr(result.drift), f"{result.seconds:.6f}", largest,
            "" if spans is None else spans]


def summary_rows(rows):
    """Rows as long as the header: a run resumed from an older version's steps lacks the last columns."""
    return [list(row) + [""] * (len(SUMMARY_COLUMNS) - len(row)) for row in rows]


def _what_differs(old, new):
    """What a partial run's fingerprint and this run's differ in, for its refusal: the files of an input
    that changed (a folder's by name), and the options."""
    def files(before, now):
        # An identity is [path, size, time, digest], a folder's [path, [[name, size, time, digest] ...]],
        # or a list of those.
        if isinstance(before, list) and isinstance(now, list) and before and now and isinstance(before[0], list):
            return [name for pair in zip(before, now) if pair[0] != pair[1] for name in files(*pair)] or ["the list of files"]
        if (isinstance(before, list) and isinstance(now, list) and len(before) == len(now) == 2
                and before[0] == now[0] and isinstance(now[1], list)):
            old_files, new_files = ({entry[0]: entry for entry in side[1]} for side in (before, now))
            changed = sorted(name for name in old_files.keys() | new_files.keys()
                             if old_files.get(name) != new_files.get(name))
            shown = [os.path.join(now[0], name) for name in changed[:3]]
            return shown + ([f"{len(changed) - 3} more files"] if len(changed) > 3 else [])
        return [str(now[0] if isinstance(now, list) and now else now)]
    inputs_ = [f"{', '.join(files(old.get(key), new.get(key)))} changed" for key in ("input", "contacts", "topology")
               if old.get(key) != new.get(key)]
    options = [key for key in sorted(old.keys() | new.keys()) if key not in ("input", "contacts", "topology")
               and old.get(key) != new.get(key)]
    return "; ".join(inputs_ + ([f"other options: {', '.join(options)}"] if options else []))


class _Written:
    """What `SeriesWriter.record` needs of a written step: its result is no longer held."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


def _journal_line(value):
    # Each line carries the CRC-32 of its text: a damaged line (a flipped byte) is told as a cut one
    # is, not trusted for the summary it brings back or taken apart for the keys it lacks.
    text = json.dumps(value, sort_keys=True)
    return (json.dumps({"crc32": zlib.crc32(text.encode()), "entry": value}, sort_keys=True) + "\n").encode()


def _read_journal(path):
    """The manifest as {"fingerprint", "steps", "picture"}; a line cut short by a kill or damaged, and
    any after it, count for nothing. None where there is none."""
    try:
        with open(path, "rb") as stream:
            lines = stream.read().split(b"\n")
    except OSError:
        return None
    manifest = {"steps": [], "picture": None}
    for line in lines:
        try:
            line = json.loads(line)
            entry = line["entry"]
            if line["crc32"] != zlib.crc32(json.dumps(entry, sort_keys=True).encode()) or not isinstance(entry, dict):
                break
        except (ValueError, TypeError, KeyError):
            break
        if "step" in entry:
            manifest["steps"].append(entry["step"])
        manifest.update((key, entry[key]) for key in ("fingerprint", "picture") if key in entry)
    return manifest if "fingerprint" in manifest else None


class SeriesWriter:
    """Writes each step's result, in step order, into the partial folder and records it."""

    def __init__(self, folder, fingerprint, dump=None, wrapped_dump=False, echo=print, resume=False):
        # As the manifest will read back: JSON has lists where the caller may have tuples.
        self.folder, self.fingerprint, self.echo = folder, json.loads(json.dumps(fingerprint)), echo
        self.pvd = os.path.join(folder, f"{STEM}.pvd")
        self.picture = None
        self.series, self.rows, self.times = [], [], []
        self.largest_drift = 0.0
        self.dump_path = dump and os.path.join(folder, dump)
        self.wrapped_dump = wrapped_dump
        self._dump = None
        self.steps = []
        self.appended = {}  # the size of each file the steps append to, as the last step left it
        self._picture_record = None
        self._journal_started = False
        self._listed = 0  # the steps the series and summary last listed
        # Step files go to the disk on their own thread, one at a time; `record` waits for a step's
        # flush before checking it, the next step need not.
        self._flushing = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-flush")
        # The picture too: drawn from a copy of its step's centres, it holds up neither the next step
        # nor the memory of this one.
        self._drawing = concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-draw")
        if resume:
            self._resume()
        if self.dump_path:
            from .write_lammps import LammpsDumpWriter
            os.makedirs(os.path.dirname(self.dump_path), exist_ok=True)
            kept = self.steps[-1]["dump_size"] if self.steps else 0
            self._dump = LammpsDumpWriter(self.dump_path, keep=kept)

    # -- resume ----------------------------------------------------------------------------------

    def _resume(self):
        """Keeps the steps of the manifest whose files still check, in order, up to the first that
        does not; everything after it is written again."""
        manifest = _read_journal(os.path.join(self.folder, MANIFEST))
        if manifest is None:
            # Files without a manifest are no run's to resume (a series being removed as a run's
            # own went into place): none of them may join this one.
            for name in os.listdir(self.folder):
                path = os.path.join(self.folder, name)
                shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)
            self.echo(f"nothing to resume in {self.folder}: starting from the first step")
            return
        if manifest.get("fingerprint") != self.fingerprint:
            error = filesafe.OutputError(
                f"the partial run in {self.folder} was started with other input or options "
                f"({_what_differs(manifest['fingerprint'], self.fingerprint)}); run without --resume to start over")
            error.resumable = False   # no advice to resume it again
            raise error
        for step in manifest.get("steps", []):
            name = os.path.join(self.folder, step["file"])
            try:
                if filesafe.file_checksum(name) != (step["size"], step["crc32"]):
                    break
                if self.dump_path and os.path.getsize(self.dump_path) < step["dump_size"]:
                    break
                if any(os.path.getsize(os.path.join(self.folder, name)) < size
                       for name, size in step.get("appended", {}).items()):
                    break
            except OSError:
                break
            self.steps.append(step)
            self.series.append((step["timestep"], step["file"]))
            self.times.append(step.get("time"))
            self.rows.append(step["summary"])
            self.largest_drift = max(self.largest_drift, float(step["summary"][6]))
        self.appended = dict(self.steps[-1].get("appended", {})) if self.steps else {}
        picture = manifest.get("picture")
        if picture and picture["index"] < len(self.steps):
            name = os.path.join(self.folder, picture["file"])
            try:
                if filesafe.file_checksum(name) == (picture["size"], picture["crc32"]):
                    self.picture = name
            except OSError:
                pass
        self._picture_record = picture if self.picture else None
        # The journal again, of the steps kept alone: the steps after them are appended anew. The
        # series and summary too, which may list steps written again now.
        self._start_journal()
        self._write_listing()
        self.echo(f"resuming after the {len(self.steps)} steps kept in {self.folder}")

    def cut_back(self, names):
        """Cuts the files of `names` that the steps append to back to their sizes at the last step kept:
        what a killed or resumed run appended after it goes."""
        for name in names:
            path = os.path.join(self.folder, name)
            if os.path.exists(path):
                os.truncate(path, self.appended.get(name, 0))

    @property
    def done(self):
        """How many steps, from the first, are written and checked."""
        return len(self.steps)

    # -- one step --------------------------------------------------------------------------------
    # A step is written, then recorded. The two may run on two threads, one step apart: while one
    # step file is flushed to the disk and checked, the next is written.

    def write(self, result, source=None):
        """Writes the step's files (step file, dump frame, picture); `record` checks and lists them."""
        from . import write_vtk
        with filesafe.writing(self.folder):
            name = step_file(result.index)
            path = os.path.join(self.folder, name)
            written = write_vtk.write_polydata(path, result.to_vtk())
            # A large step file is written around the page cache where the file system allows it. Where
            # it went through the cache, it goes to the disk while the dump frame and the picture are
            # made and the next step is read and reduced: handing a large file to the disk blocks for
            # a while (0.2-0.9 s for 260-690 MB), mostly waiting, without the interpreter lock. Small
            # ones are left to the commit's flush of them all.
            alone = written is None or written[0] >= filesafe.SYNCED_ALONE_FROM
            flushed = self._flushing.submit(filesafe.start_flush, path) if alone else None
            dump_size = 0
            if self._dump is not None:
                dump_size = self._dump.write_frame(result, self.wrapped_dump)
            picture = None
            if source is not None:
                import numpy as np
                from .picture import caption
                text = caption(result.timestep, result.e + result.t, result.u + result.t, source)
                picture = self._drawing.submit(self._draw, result.index, np.array(result.centres, dtype=float), source,
                                               text)
        return _Written(index=result.index, timestep=result.timestep, file=name, dump_size=dump_size,
                        picture=picture, row=summary_row(result), drift=result.drift, text=result.summary(),
                        time=getattr(result, "time", None),
                        flushed=flushed, written=written, appended=getattr(result, "appended", {}),
                        layout=getattr(result, "layout_record", None))

    def record(self, written):
        """Checks a written step's file on the disk and lists the step as complete."""
        from . import write_vtk
        with filesafe.writing(self.folder):
            if written.flushed is not None:
                written.flushed.result()
            size, crc = filesafe.checked_file(os.path.join(self.folder, written.file), write_vtk.FILE_END,
                                              written.written, sync=written.flushed is not None)
            if written.picture is not None:
                picture = written.picture.result()
                self.picture = os.path.join(self.folder, picture["file"])
                self._picture_record = picture
            # Files that grow with the steps (the time averages' profile) go to the disk before the
            # manifest lists the step, with their sizes: a resumed run cuts them back to these.
            for name, text in written.appended.items():
                with filesafe.writing(os.path.join(self.folder, name)):
                    self.appended[name] = filesafe.append_bytes(os.path.join(self.folder, name), text.encode())
            if not self._journal_started:
                self._start_journal()
            self.steps.append({"index": written.index, "timestep": written.timestep, "file": written.file,
                               "size": size, "crc32": crc, "dump_size": written.dump_size,
                               "summary": written.row, "time": written.time, "appended": dict(self.appended),
                               **({"layout": written.layout} if written.layout is not None else {})})
            self.series.append((written.timestep, written.file))
            self.times.append(written.time)
            self.rows.append(written.row)
            self.largest_drift = max(self.largest_drift, written.drift)
            # Not flushed to the disk: a resumed run checks every file a line lists, whatever reached it.
            with open(os.path.join(self.folder, MANIFEST), "ab") as journal:
                journal.write(_journal_line({"step": self.steps[-1],
                                             **({"picture": self._picture_record} if written.picture else {})}))
            if len(self.series) >= self._listed + max(1, self._listed // 8):
                self._write_listing()
        self.echo(written.text)

    def _draw(self, index, centres, sample, text):
        from .picture import draw_sample
        path = os.path.join(self.folder, f"{STEM}.png")
        with filesafe.writing(path):
            draw_sample(path, sample, centres, PICTURE_POINTS, text)
            size, crc = filesafe.checked_file(path)
        return {"index": index, "file": os.path.basename(path), "size": size, "crc32": crc}

    def _start_journal(self):
        lines = [{"fingerprint": self.fingerprint}, *({"step": step} for step in self.steps)]
        if self._picture_record:
            lines.append({"picture": self._picture_record})
        filesafe.write_bytes(os.path.join(self.folder, MANIFEST), b"".join(map(_journal_line, lines)))
        self._journal_started = True

    def _write_listing(self):
        """The series and the summary of the steps recorded so far."""
        from . import write_vtk
        filesafe.write_bytes(self.pvd, write_vtk.pvd_text(self.series, self.times).encode())
        self._write_summary()
        self._listed = len(self.series)

    def _write_summary(self):
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(SUMMARY_COLUMNS)
        writer.writerows(summary_rows(self.rows))
        filesafe.write_bytes(os.path.join(self.folder, SUMMARY), text.getvalue().encode())

    def finish(self):
        """Closes the dump and leaves the folder as the finished series; the manifest stays for a
        resume until the series is in place (the caller removes it there)."""
        self.close()
        # Every step listed; an empty series is still a valid, openable collection.
        self._write_listing()
        # The whole-list manifest of earlier versions, where such a run was resumed.
        if os.path.exists(os.path.join(self.folder, ".vireo20-manifest.json")):
            os.remove(os.path.join(self.folder, ".vireo20-manifest.json"))

    def close(self):
        # No flush or picture outlives the run, even one whose step was never recorded.
        self._flushing.shutdown(wait=True)
        self._drawing.shutdown(wait=True)
        if self._dump is not None:
            self._dump.close()
            self._dump = None
