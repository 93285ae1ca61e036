"""Files that are whole or absent: checked writes, a lock per output folder, and a series written
beside its final place and swapped in only when complete.

A run writes into `.NAME.vireo20-partial` beside the output folder NAME, holding `.NAME.vireo20-lock`
(an flock, so a killed run leaves no lock behind; the file is removed as the run ends). When every
step is written and checked, the partial folder and NAME are exchanged in one
`renameat2(RENAME_EXCHANGE)` and the old series is removed; a run that fails or is killed leaves NAME as it was and its partial folder for `--resume`.
"""
import contextlib
import ctypes
import errno
import fcntl
import json
import os
import shutil
import zlib

from .system import c_library


class OutputError(Exception):
    """The output cannot be written where asked: one line for the user."""


class writing:
    """Names the file in an OSError raised while it is written (a write error alone names none)."""

    def __init__(self, path):
        self.path = path

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        # An inner file's name stays: its OSError's text is in strerror, str() puts the errno first.
        if isinstance(error, OSError) and not (error.strerror or str(error)).startswith("could not write"):
            raise OSError(error.errno, f"could not write {self.path}: {error.strerror or error}") from error


def fsync_folder(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def file_checksum(path):
    """(size, crc32) of a file as it is on disk (crc32 as zlib's)."""
    from ._lammpsdump import checksum
    return checksum(os.fspath(path))


def start_flush(path):
    """Starts writing a finished file to the disk without waiting, so that the fsync of
    `checked_file` later finds little left to do."""
    flush = getattr(c_library(), "sync_file_range", None)
    if flush is None:
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        sync_file_range_write = 2
        flush(fd, ctypes.c_int64(0), ctypes.c_int64(0), sync_file_range_write)
    finally:
        os.close(fd)


# Files smaller than this are flushed to the disk together before the series is put in place
# (`Place.commit`), not each as it is checked: an fsync waits for the disk, a millisecond here (3 s of
# the checks of 3000 steps of 100 atoms), ten on a spinning disk. A larger file is flushed as it is
# checked, which costs little beside its writing and keeps the disk's queue short.
SYNCED_ALONE_FROM = 8 << 20


def checked_file(path, end=None, written=None, sync=True):
    """Flushes a file another writer closed to the disk (unless not `sync`: see `Place.commit`); it
    must end with `end`. Returns (size, crc32): `written`, the writer's own sum of the bytes it wrote,
    once the file's size on the disk is its size; else the file is read back for them."""
    fd = os.open(path, os.O_RDONLY)
    try:
        if sync:
            os.fsync(fd)
        on_disk = os.fstat(fd).st_size
    finally:
        os.close(fd)
    if written is not None and on_disk != written[0]:
        raise OSError(f"could not write {path}: {on_disk} of {written[0]} bytes reached the disk")
    size, crc = written if written is not None else file_checksum(path)
    if end is not None:
        with open(path, "rb") as stream:
            stream.seek(max(size - len(end), 0))
            if stream.read() != end:
                raise OSError(f"could not write {path}: the file is cut short at {size} bytes "
                              "(disk full or a file-size limit?)")
    return size, crc


def append_bytes(path, data):
    """Appends `data` to the file and flushes it to the disk. Returns the file's size after."""
    with open(path, "ab") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
        return out.tell()


def write_bytes(path, data):
    """Writes `data` to a side file, flushes it to the disk and renames it over `path`: the file is
    either the old one or the whole new one. Returns (size, crc32)."""
    temporary = f"{path}.part"
    with open(temporary, "wb") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
    if os.path.getsize(temporary) != len(data):
        raise OSError(f"could not write {path}: {os.path.getsize(temporary)} of {len(data)} bytes reached the disk")
    os.replace(temporary, path)
    return len(data), zlib.crc32(data)


def write_json(path, value):
    return write_bytes(path, json.dumps(value, indent=1, sort_keys=True).encode())


def _exchange(first, second):
    """Swaps two paths atomically; False where the system cannot."""
    renameat2 = getattr(c_library(), "renameat2", None)
    if renameat2 is None:
        return False
    at_fdcwd, rename_exchange = -100, 2
    if renameat2(at_fdcwd, os.fsencode(first), at_fdcwd, os.fsencode(second), rename_exchange) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.ENOTSUP):
        return False
    raise OSError(code, os.strerror(code), second)


def same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def inside(path, folder):
    """Whether `path` is `folder` or lies under it (links resolved)."""
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _current_folder():
    try:
        return os.getcwd()
    except OSError:  # removed under the process: it stands in no folder a run could replace
        return None


class Place:
    """The output folder of a run, its lock and its partial folder."""

    def __init__(self, out_dir):
        out_dir = os.path.abspath(os.fspath(out_dir))
        self.final = out_dir.rstrip(os.sep) or os.sep
        if os.path.islink(self.final) and os.path.isdir(self.final):
            # A link to a folder (a scratch space's): the series replaces the folder it names, written
            # beside it on its own file system; the link then names the new series.
            self.final = os.path.realpath(self.final)
        parent, name = os.path.split(self.final)
        if not name:
            raise OutputError(f"--out {out_dir} cannot be a file system's root")
        # The folder is replaced whole, by a rename: neither a mount point nor the folder a shell
        # stands in can be.
        if os.path.ismount(self.final):
            raise OutputError(f"--out {out_dir} is a mount point, which a run cannot replace as it replaces its "
                              "folder (written beside it, then swapped in whole): give a folder inside it")
        here = _current_folder()
        if here is not None and inside(here, self.final):
            raise OutputError(f"--out {out_dir} is, or holds, the current folder, which a run would replace whole "
                              "(the shell would stand in a removed folder): give a folder inside it")
        self.parent, self.name = parent, name
        self.partial = os.path.join(parent, f".{name}.vireo20-partial")
        self.old = os.path.join(parent, f".{name}.vireo20-old")
        self.lock_path = os.path.join(parent, f".{name}.vireo20-lock")
        self.left_behind = None   # the replaced series, where it could not be removed
        self._lock = self._watch = None
        self.committed = False

    def lock(self):
        """Takes the folder's lock or refuses: one run at a time into one folder."""
        while True:
            try:
                os.makedirs(self.parent, exist_ok=True)
                fd = os.open(self.lock_path, os.O_RDWR | os.O_CREAT, 0o644)
            except OSError as error:
                raise OutputError(f"cannot write beside {self.final} ({error.strerror})") from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                raise OutputError(f"another run is writing into {self.final} (it holds {self.lock_path}); "
                                  "wait for it to end or choose another --out") from None
            # The run before removes the file as it lets go: a lock taken on the file it removed (or
            # on one no longer at its name) is no lock, and is taken again.
            try:
                held, named = os.fstat(fd), os.stat(self.lock_path)
            except FileNotFoundError:
                held = named = None
            if held is not None and (held.st_dev, held.st_ino) == (named.st_dev, named.st_ino):
                self._lock = fd
                return
            os.close(fd)

    def unlock(self):
        if self._lock is not None:
            # Removed while held, so that no lock file is left beside the output once the run ends.
            with contextlib.suppress(OSError):
                os.unlink(self.lock_path)
        for fd in (self._lock, self._watch):
            if fd is not None:
                os.close(fd)
        self._lock = self._watch = None

    def start(self, resume):
        """A partial folder to write in: the one left behind when resuming, else a fresh one."""
        if os.path.lexists(self.old):
            # A series an earlier run replaced but could not remove: said now, not once every step is done.
            try:
                shutil.rmtree(self.old)
            except OSError as error:
                raise OutputError(f"cannot remove {self.old}, the series an earlier run replaced "
                                  f"({error.strerror}: {error.filename}); remove it, then run again") from None
        if os.path.isdir(self.partial) and not resume:
            shutil.rmtree(self.partial)
        os.makedirs(self.partial, exist_ok=True)
        # Held from now: its file system's write errors from here on are reported by the commit's sync.
        self._watch = os.open(self.partial, os.O_RDONLY | os.O_DIRECTORY)
        return self.partial

    def _sync(self):
        """Flushes every file of the partial folder's file system to the disk (the small ones were
        not flushed one by one), raising OSError on a write the disk refused since `start`."""
        syncfs = getattr(c_library(), "syncfs", None)
        if syncfs is None:
            os.sync()
        elif syncfs(self._watch) != 0:
            code = ctypes.get_errno()
            raise OSError(code, f"could not write {self.partial}: {os.strerror(code)}")

    def discard(self):
        """Removes the partial folder of a run that finished no step: it holds nothing to resume."""
        shutil.rmtree(self.partial, ignore_errors=True)

    def sync(self):
        """Puts every file of the partial folder on the disk, or raises the write error it met."""
        self._sync()
        fsync_folder(self.partial)

    def commit(self):
        """Puts the finished series (synced) in place of the old one, as one step where the system
        allows. The old one is moved aside before it is removed: a run stopped meanwhile leaves no
        series of its but at a name no resume takes."""
        old = self.old
        if os.path.lexists(old):
            shutil.rmtree(old)
        if os.path.lexists(self.final):
            if not os.path.isdir(self.final) or os.path.islink(self.final):
                raise OutputError(f"--out {self.final} exists and is not a folder")
            if _exchange(self.partial, self.final):
                self.committed = True
                os.rename(self.partial, old)
            else:
                os.rename(self.final, old)
                os.rename(self.partial, self.final)
                self.committed = True
            fsync_folder(self.parent)
            shutil.rmtree(old, ignore_errors=True)
            self.left_behind = old if os.path.lexists(old) else None
        else:
            os.rename(self.partial, self.final)
            self.committed = True
        fsync_folder(self.parent)
