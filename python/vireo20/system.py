"""The few C library calls Python does not offer: atomic exchange of two paths, starting a file's
flush without waiting, and keeping freed memory for the next step."""
import ctypes
import ctypes.util

_libc = None
# glibc's mallopt parameters and defaults.
M_TRIM_THRESHOLD, M_MMAP_MAX = -1, -4
DEFAULT_TRIM_THRESHOLD, DEFAULT_MMAP_MAX = 128 * 1024, 65536


def c_library():
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    return _libc


def keep_freed_blocks():
    """Freed blocks stay with the process for the next step instead of going back to the system.

    Every step allocates arrays of the same sizes again. Given back, each comes back as fresh pages
    that the kernel must zero on first touch, which on a virtual machine costs as much as the step's
    own arithmetic; kept, a step reuses the memory of the one three steps before it. The peak stays
    that of the steps in flight. No-op where the C library is not glibc."""
    mallopt = getattr(c_library(), "mallopt", None)
    if mallopt is not None:
        mallopt(M_MMAP_MAX, 0)
        mallopt(M_TRIM_THRESHOLD, -1)


def give_back_freed_blocks():
    """Undoes `keep_freed_blocks` and returns what the process holds unused to the system."""
    library = c_library()
    if getattr(library, "mallopt", None) is not None:
        library.mallopt(M_MMAP_MAX, DEFAULT_MMAP_MAX)
        library.mallopt(M_TRIM_THRESHOLD, DEFAULT_TRIM_THRESHOLD)
        library.malloc_trim(0)

