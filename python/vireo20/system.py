"""The few C library calls Python does not offer: atomic exchange of two paths, starting a file's
flush without waiting, and how freed memory is kept for the next step."""
import ctypes
import ctypes.util

_libc = None


def c_library():
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
    return _libc


def keep_freed_blocks():
    """Blocks up to 32 MiB freed by one step are kept for the next instead of going back to the
    system: each step allocates the same arrays again, and fresh pages cost a fault each (about a
    tenth of a second per million particles). Larger blocks still go back at once. No-op where the
    C library is not glibc."""
    mallopt = getattr(c_library(), "mallopt", None)
    if mallopt is not None:
        m_mmap_threshold = -3
        mallopt(m_mmap_threshold, 32 << 20)
