"""The few C library calls Python does not offer: atomic exchange of two paths, starting a file's
flush without waiting, and keeping freed memory for the next step."""
import ctypes
import ctypes.util

_libc = None
_holding_blocks = False
# glibc's mallopt parameters
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD, M_ARENA_MAX = -1, -3, -8
DEFAULT_TRIM_THRESHOLD = 128 << 10
# Free memory at the heap's top beyond this goes back to the system during a run: about one frame
# of a million atoms, so a worker that holds the setting for its life keeps little more.
RUN_TRIM_THRESHOLD = 256 << 20


def c_library():
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    return _libc


def keep_freed_blocks():
    """Freed memory stays with the process for the next step.

    Every step allocates arrays of the same sizes again. Given back, each comes back as fresh pages
    that the kernel must zero on first touch, which on a virtual machine costs about as much as the
    step's own arithmetic. glibc keeps blocks under 32 MiB in its heap (mmap off altogether
    measured slower for the built-in data set and raised its peak by a fifth); the heap keeps up to
    256 MiB free at its top rather than 128 KiB, and every thread allocates from the one heap: with
    an arena per thread, blocks the reader or the writer let go served only that thread again.
    Blocks of 4 MiB and more that the dump's columns, the engine's arrays and the group moments let
    go are kept by quill20 itself, each for the next buffer of about its size, until
    `give_back_freed_blocks`. The mallopt settings last for the process (the trim threshold until
    `give_back_freed_blocks`); they are skipped where the C library is not glibc."""
    global _holding_blocks
    mallopt = getattr(c_library(), "mallopt", None)
    if mallopt is not None:
        mallopt(M_MMAP_THRESHOLD, 32 << 20)
        mallopt(M_TRIM_THRESHOLD, RUN_TRIM_THRESHOLD)
        mallopt(M_ARENA_MAX, 1)
    if not _holding_blocks:
        from . import _lammpsdump
        _lammpsdump.hold_freed_blocks()
        _holding_blocks = True


def give_back_freed_blocks():
    """Returns to the system what the process holds unused, at the end of a run."""
    global _holding_blocks
    if _holding_blocks:
        from . import _lammpsdump
        _lammpsdump.let_go_of_freed_blocks()
        _holding_blocks = False
    mallopt = getattr(c_library(), "mallopt", None)
    if mallopt is not None:
        mallopt(M_TRIM_THRESHOLD, DEFAULT_TRIM_THRESHOLD)
    trim = getattr(c_library(), "malloc_trim", None)
    if trim is not None:
        trim(0)
