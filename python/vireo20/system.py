"""The few C library calls Python does not offer: atomic exchange of two paths, starting a file's
flush without waiting, keeping freed memory for the next step; and the job's own process started
with huge pages for malloc. Loaded before anything else of the package: it imports little."""
import os
import sys

_libc = None
_holding_blocks = False
# glibc's mallopt parameters
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD, M_ARENA_MAX = -1, -3, -8
DEFAULT_TRIM_THRESHOLD = 128 << 10
# Free memory at the heap's top beyond this goes back to the system during a run: about one frame
# of a million atoms, so a worker that holds the setting for its life keeps little more.
RUN_TRIM_THRESHOLD = 256 << 20


HUGE_PAGE_HEAP = "glibc.malloc.hugetlb=1"


def c_library():
    global _libc
    if _libc is None:
        import ctypes
        try:
            # glibc's name: finding it by search runs /sbin/ldconfig, a process of its own.
            _libc = ctypes.CDLL("libc.so.6", use_errno=True)
        except OSError:
            import ctypes.util
            _libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    return _libc


def started_as_job():
    """Whether this interpreter runs the job's command line as its own program: `python3 -m vireo20`
    or the installed `vireo20` command."""
    main = sys.modules.get("__main__")
    if os.path.basename(getattr(main, "__file__", None) or "") == "vireo20":
        return True
    arguments = list(getattr(sys, "orig_argv", ()))[1:]
    k = 0
    while k < len(arguments) and arguments[k].startswith("-"):
        option = arguments[k]
        if option == "-m":
            return arguments[k + 1:k + 2] == ["vireo20"]
        if option.startswith("-m"):
            return option == "-mvireo20"
        if option == "-" or option.startswith("-c"):
            return False
        k += 2 if option in ("-X", "-W") else 1
    return False


def glibc_takes_huge_page_heap():
    """Whether the C library is glibc 2.35 or later, whose malloc can ask for huge pages."""
    try:
        library, version = os.confstr("CS_GNU_LIBC_VERSION").split()
        return library == "glibc" and tuple(int(part) for part in version.split(".")[:2]) >= (2, 35)
    except (AttributeError, OSError, ValueError):
        return False


def restart_with_huge_page_heap():
    """Starts this interpreter again with the same arguments and glibc's malloc asking for
    transparent huge pages for its heap, a setting glibc reads only at start (GLIBC_TUNABLES).

    A step's arrays under 4 MiB come from the heap, in pages of 4 KiB the kernel clears and maps one
    fault at a time, which on a virtual machine costs more than the clearing; in 2 MiB pages, a 3-frame
    run at 1 M atoms took a fifth less CPU time a frame (0.38-0.44 s against 0.46-0.66 s), with 30 MB
    more at its peak. Returns at once where the setting is made already, or glibc is older than 2.35
    or not the C library; the job then runs without it, as it does if the restart fails."""
    tunables = os.environ.get("GLIBC_TUNABLES", "")
    if "glibc.malloc.hugetlb" in tunables or not sys.executable or not getattr(sys, "orig_argv", None) \
            or not glibc_takes_huge_page_heap():
        return
    os.environ["GLIBC_TUNABLES"] = f"{tunables}:{HUGE_PAGE_HEAP}" if tunables else HUGE_PAGE_HEAP
    try:
        os.execv(sys.executable, sys.orig_argv)
    except OSError:
        if tunables:
            os.environ["GLIBC_TUNABLES"] = tunables
        else:
            del os.environ["GLIBC_TUNABLES"]


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
