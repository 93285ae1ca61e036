"""The LAMMPS dump reader: every value exactly as Python's float() and int() read its text, plain,
gzip and zstd alike and at any thread count; each malformed frame's one-line error after the frames before it;
positions, boxes, vectors and contacts as frames carry them."""
import ctypes
import ctypes.util
import gzip
import hashlib
import os
import pickle
import random
import re
import struct
import subprocess
import sys

import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import vireo20
from vireo20 import read_lammps
from vireo20.frames import InputError


def frame(step, columns, rows, box="pp pp pp", bounds="0 4\n0 5\n0 6\n", item="ATOMS"):
    return (f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF {item}\n{len(rows)}\nITEM: BOX BOUNDS {box}\n{bounds}"
            f"ITEM: {item} {columns}\n" + "".join(" ".join(map(str, row)) + "\n" for row in rows))


def zstd_compress(data):
    """One zstd frame with a content checksum, as LAMMPS's custom/zstd writes (libzstd is dpkg's own)."""
    zstd = ctypes.CDLL(ctypes.util.find_library("zstd"))
    zstd.ZSTD_compressBound.restype = zstd.ZSTD_compress2.restype = ctypes.c_size_t
    zstd.ZSTD_createCCtx.restype = ctypes.c_void_p
    zstd.ZSTD_CCtx_setParameter.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    zstd.ZSTD_compress2.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    zstd.ZSTD_freeCCtx.argtypes = [ctypes.c_void_p]
    context = zstd.ZSTD_createCCtx()
    zstd.ZSTD_CCtx_setParameter(context, 201, 1)  # ZSTD_c_checksumFlag
    out = ctypes.create_string_buffer(zstd.ZSTD_compressBound(ctypes.c_size_t(len(data))))
    size = zstd.ZSTD_compress2(context, out, len(out), data, len(data))
    zstd.ZSTD_freeCCtx(context)
    return out.raw[:size]


PACK = {"gz": gzip.compress, "zst": zstd_compress}


def write(folder, text, compressed=False, name="atoms.dump"):
    """`compressed`: "gz" or "zst" (True: gz)."""
    compressed = "gz" if compressed is True else compressed
    path = os.path.join(folder, name + (f".{compressed}" if compressed else ""))
    data = text.encode() if isinstance(text, str) else text
    with open(path, "wb") as stream:
        stream.write(PACK[compressed](data) if compressed else data)
    return path


def run(path, contacts=None):
    """The frames loaded until the first error, and that error's text (None when there is none)."""
    frames, series = [], read_lammps.open_series(path, contacts)
    try:
        for loader in series.loaders():
            frames.append(loader.load())
        series.finish()
    except InputError as error:
        return frames, str(error)
    return frames, None


def listed_as_read(series, frames):
    """Whether `inspect --list`'s lines, from the frames' headers, say what reading the frames gives."""
    from vireo20.describe import frame_table
    return [line.split() for line in frame_table(series)[1:]] == [
        [str(k), str(f.timestep), *([] if f.time is None else [f"{f.time:.6g}"]), str(len(f.positions)),
         str(len(f.contacts))] for k, f in enumerate(frames)]


def digest(frames):
    hashed = hashlib.sha256()
    for f in frames:
        for array in [f.positions, *f.columns.values()]:
            hashed.update(np.ascontiguousarray(array).tobytes())
    return hashed.hexdigest()


def _real_text(rng):
    x = rng.choice([rng.uniform(-1, 1) * 10.0 ** rng.randint(-320, 308), rng.randint(-10 ** 6, 10 ** 6), 0.0])
    return rng.choice([repr(float(x)), f"{x:.{rng.randint(1, 20)}g}", f"{x:+.{rng.randint(0, 25)}e}",
                       f"{x:.3E}", str(int(x)), "-0", "1e-320", "5.", ".5", "+.5e-3", "1_0.2_5",
                       "inf", "-Infinity", "nan", "-nan", "NaN", "9007199254740993"])


def _int_text(rng):
    n = rng.choice([rng.randint(-10 ** 6, 10 ** 6), rng.randint(-2 ** 63, 2 ** 63 - 1), 2 ** 63 - 1, -2 ** 63])
    return rng.choice([str(n), f"+{abs(n)}", f"-{abs(n):07d}", f"{abs(n):_}"])


@pytest.fixture(scope="module")
def random_dump(tmp_path_factory):
    """Two frames of random texts (the second large enough for several pieces and threads), and each
    column's values as Python reads its texts."""
    rng, folder = random.Random(5), str(tmp_path_factory.mktemp("random"))
    names = "id mol mass xu yu zu vx vy vz c_q[1] c_q[2] i_flag".split()
    text, expected = "", []
    for step, count in ((0, 7), (10, 30000)):
        rows = [[(_int_text if name in ("id", "mol", "i_flag") else _real_text)(rng) for name in names]
                for _ in range(count)]
        lines = "".join(rng.choice(" \t") + "  ".join(row) + rng.choice(["\n", "\r\n", " \t\n"]) for row in rows)
        text += frame(step, " ".join(names), []) + lines
        expected.append({name: [(int if name in ("id", "mol", "i_flag") else float)(row[k]) for row in rows]
                         for k, name in enumerate(names)})
    return write(folder, text), [write(folder, text, how) for how in PACK], expected


def test_values_are_the_bits_pythons_float_and_int_give_plain_gzip_zstd_and_on_one_or_two_threads(random_dump):
    plain, packed, expected = random_dump
    loaded = run(plain)[0]
    for f, want in zip(loaded, expected):
        for name, array in [("id", f.columns["id"]), ("mol", f.columns["mol"]), ("i_flag", f.columns["i_flag"]),
                            ("mass", f.columns["mass"])]:
            assert array.dtype == np.dtype(np.int64 if name != "mass" else np.float64)
            assert_array_equal(array.view(np.int64), np.array(want[name], dtype=array.dtype).view(np.int64))
        for array, names in [(f.positions, "xu yu zu"), (f.columns["velocity"], "vx vy vz"),
                             (f.columns["c_q"], "c_q[1] c_q[2]")]:
            assert_array_equal(array.view(np.int64), np.array([want[n] for n in names.split()]).T.view(np.int64))
    assert [digest(run(path)[0]) for path in packed] == [digest(loaded)] * len(packed)
    script = "import sys; from test_read_lammps import run, digest; print(digest(run(sys.argv[1])[0]))"
    for threads in ("1", "2"):
        environment = dict(os.environ, VIREO20_THREADS=threads,
                           PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
        printed = subprocess.run([sys.executable, "-c", script, plain], env=environment, capture_output=True,
                                 text=True, check=True).stdout
        assert printed.strip() == digest(loaded)


COLUMNS = "id mol type mass xu yu zu vx"
ROWS = [[1, 1, 1, 2.5, 0.5, 1, 1, 0.1], [2, 1, 2, 1.0, 1.5, 1, 1, -0.1]]
GOOD = "".join(frame(step, COLUMNS, ROWS) for step in (0, 10, 20))


def _second(old, new):
    """The text with the first `old` after frame 0 replaced."""
    at = GOOD.index("ITEM: TIMESTEP\n10")
    return GOOD[:at] + GOOD[at:].replace(old, new, 1)


_LAST = GOOD.index("ITEM: TIMESTEP\n20")
MALFORMED = {  # text (or bytes), frames loaded before the error, the error after "path: " ({of}: "file" or
    # "inflated text")
    "value": (_second("2.5", "abc"), 1,
              "step 10: array 'mass': value 'abc' on data line 1 (line 21 of the {of}) is not a number"),
    "integer": (_second("\n2 1 2", "\n2.5 1 2"), 1,
                "step 10: array 'id': value '2.5' on data line 2 (line 22 of the {of}) is not an integer"),
    "too few": (_second(" 1.5", ""), 1,
                "step 10: array 'ATOMS': data line 2 (line 22 of the {of}) has 7 values where the header names 8 columns"),
    "too many": (_second(" 1.5", " 1.5 7"), 1, "step 10: array 'ATOMS': data line 2 (line 22 of the {of}) has 9 values"),
    "repeated name": (_second("type mass", "mass mass"), 1,
                      "step 10: array 'mass': the column name 'mass' appears twice in 'ITEM: ATOMS' with different "
                      "values (1.0 and 2.5 on data line 1): name it once"),
    "count too large": (_second("ATOMS\n2\n", "ATOMS\n3\n"), 1, "step 10: array 'NUMBER OF ATOMS': the frame has 2 "
                        "data lines where 'ITEM: NUMBER OF ATOMS' says 3 (line 23 of the {of})"),
    "count too small": (_second("ATOMS\n2\n", "ATOMS\n1\n"), 1, "step 10: array 'NUMBER OF ATOMS': the frame has "
                        "more data lines than the 1 that 'ITEM: NUMBER OF ATOMS' announces (line 22 of the {of})"),
    "count beyond the file": (_second("ATOMS\n2\n", "ATOMS\n999999999999\n"), 1, "step 10: array 'NUMBER OF "
                              "ATOMS': the frame announces 999999999999 rows of 8 columns, more than the file's"),
    "blank line": (_second("\n2 1 2", "\n\n2 1 2"), 1, "step 10: array 'ATOMS': data line 2 (line 22 of the {of}) is blank"),
    "not a count": (_second("ATOMS\n2\n", "ATOMS\ntwo\n"), 1, "step 10: array 'NUMBER OF ATOMS': 'two' is not a count (line 15 of the {of})"),
    "not a step": (_second("TIMESTEP\n10", "TIMESTEP\nx1"), 1, "step #1 of the file: array 'TIMESTEP': 'x1' is not a step number (line 13 of the {of})"),
    "not a time": (_second("ITEM: TIMESTEP", "ITEM: TIME\nsoon\nITEM: TIMESTEP"), 1,
                   "step 10: array 'TIME': 'soon' is not a time (line 13 of the {of})"),
    "atom id 0": (_second("\n1 1 1", "\n0 1 1"), 1, "step 10: array 'id': atom id 0 on data line 1 is below 1"),
    "box": (_second("0 5\n", "0 five\n"), 1, "step 10: array 'BOX BOUNDS': the three bound lines are not numbers"),
    "no positions": (GOOD.replace("xu yu zu", "a b c"), 0, "step 0: array 'xu yu zu': missing positions"),
    "not a dump": ("hello\n" + GOOD, 0, "step #0 of the file: array 'TIMESTEP': expected 'ITEM: TIMESTEP', found 'hello' "
                   "(line 1 of the {of})"),
    "cut short": (GOOD[:-23], 2, "step 20: array 'ATOMS': truncated: 1 of 2 lines"),
    "cut in a value": (GOOD[:-3], 2, "step 20: array 'ATOMS': truncated: the file ends inside data line 2 of 2 lines"),
    "no last newline": (GOOD[:-1], 2, "step 20: array 'ATOMS': truncated: the file ends inside data line 2 of 2 lines; "
                        "its values are all there but no newline ends it: if the file is whole, end it with one"),
    "cut in the header": (GOOD[:GOOD.rindex("ITEM: ATOMS")], 2,
                          "step 20: array 'ATOMS': truncated: the file ends before the frame's 'ITEM: ATOMS' line"),
    "empty": ("", 0, "no frames"),
    # Two members (frames), the second cut short: gzip gives the part before the cut, zstd no part of
    # the block it cuts.
    **{f"{how} cut": (pack(GOOD[:_LAST].encode()) + pack(GOOD[_LAST:].encode())[:-20], 2, message)
       for (how, pack), message in zip(PACK.items(), ["step 20: array 'ATOMS': the compressed file is damaged or cut short",
                                                      "the compressed file is cut short"])},
}


@pytest.mark.parametrize("case, compressed", [(case, how) for case, (text, _, _) in MALFORMED.items()
                                              for how in ([False] if isinstance(text, bytes) else [False, *PACK])])
def test_a_malformed_frame_stops_the_series_after_the_frames_before_it(tmp_path, case, compressed):
    text, before, message = MALFORMED[case]
    path = write(tmp_path, text, compressed)
    frames, error = run(path)
    message = message.replace("{of}", "inflated text" if compressed else "file")
    assert len(frames) == before and error is not None and error.startswith(f"{path}: {message}"), error
    # A dump cut short (still being written, or compressed after) can be read without its last frame.
    cut = "truncated" in message or case.endswith(" cut")
    assert ("--frames :-1 leaves its last frame out" in error) == cut
    if cut:
        assert digest(read_lammps.open_series(path)[:-1]) == digest(frames)
        # inspect --list lists the frames up to the cut, and tells it.
        from vireo20.describe import frame_table
        table = frame_table(read_lammps.open_series(path))
        assert len(table) >= before + 2 and table[-1].startswith("the frame ") and error.endswith(table[-1].split(": ", 1)[1])


@pytest.mark.parametrize("end, after, message", [
    (None, "", None),  # a whole last frame: the zeros are passed over, and told
    (-3, "", "step 20: array 'ATOMS': truncated: the file ends inside data line 2 of 2 lines"),
    (None, GOOD, "step 20: array 'ATOMS': zero bytes follow the frame's data lines (line 34 of the file), and text "
                 "follows them"),  # a run appending to it after the crash
])
def test_zeros_where_a_crash_stopped_the_writing_end_the_dump(tmp_path, end, after, message):
    path = write(tmp_path, GOOD[:end].encode() + bytes(70000) + after.encode())
    frames, error = run(path)
    assert error == message if message is None else error.startswith(f"{path}: {message}"), error
    assert len(frames) == 3 - (end is not None) - (after != "")
    notes = read_lammps.open_series(path).notes()
    assert notes == ([f"{path}: the file ends in 70000 zero bytes, as one does that was being written when its machine "
                      "stopped: it is read up to them, and what was written there is lost"] if not after else [])
    if message is None:
        assert digest(frames) == digest(run(write(tmp_path, GOOD, name="whole.dump"))[0])
        # A binary dump's too, where zeros may end a whole frame's values as well.
        path = write(tmp_path, BINARY + bytes(70000), name="atoms.bin")
        frames, error = run(path)
        assert error is None and digest(frames) == digest(run(write(tmp_path, BINARY, name="whole.bin"))[0])
        assert len(read_lammps.open_series(path).notes()) == 1


@pytest.mark.parametrize("how", PACK)
def test_a_flipped_byte_in_a_compressed_stream_names_the_file_as_damaged(tmp_path, how):
    packed = bytearray(PACK[how](GOOD.encode() * 20))
    for at in (len(packed) // 2, len(packed) - 7):
        flipped = packed.copy()
        flipped[at] ^= 0x20
        error = run(write(tmp_path, bytes(flipped)))[1]
        # gzip: where the inflating stopped, not where the piece of input it had began.
        assert error is not None and ": the compressed file is damaged" in error and " near byte 0 " not in error, error
    # Damaged where the dump's first line would be: told so, not as a file of no known format.
    flipped = packed.copy()
    flipped[len(packed) // 2:] = bytes(len(packed) - len(packed) // 2)
    flipped[14:18] = b"\xff\xff\xff\xff"
    with pytest.raises(InputError, match="the compressed file is damaged"):
        vireo20.inputs.detect(write(tmp_path, bytes(flipped)))


def test_blank_lines_and_spaces_at_the_end_crlf_and_tabs_are_accepted(tmp_path):
    text = GOOD.replace("\n", "\r\n").replace(" 1.5 ", "\t1.5\t") + "\n  \n\t\n   "
    frames, error = run(write(tmp_path, text))
    assert error is None and [f.timestep for f in frames] == [0, 10, 20]
    assert_array_equal(frames[2].positions, [[0.5, 1, 1], [1.5, 1, 1]])


def test_element_and_type_labels_are_label_columns_that_give_masses(tmp_path):
    text = frame(0, "id element type typelabel mass xu yu zu",
                 [[1, "C", 1, "CA", 12.0, 0, 0, 0], [2, "O", 2, "O1", 16, 1, 1, 1]])
    frames, error = run(write(tmp_path, text))
    assert error is None and sorted(frames[0].columns) == ["element", "id", "mass", "type", "typelabel"]
    assert [frames[0].columns[k].tolist() for k in ("element", "typelabel")] == [[b"C", b"O"], [b"CA", b"O1"]]
    # dump_modify types labels: the type column holds labels (the first data line tells), up to 32 bytes.
    long = "H" * 32
    rows = lambda step, kinds: [[1, 1, kinds[0], 0, 0, 0], [2, 1, kinds[1], 1, 1, 1], [3, 2, kinds[2], 2, 2, 2]]
    kinds = {0: ("CA", "CA", long), 10: ("CA", "O1", long)}
    labelled = "".join(frame(step, "id mol type xu yu zu", rows(step, kinds[step])) for step in (0, 10))
    frames, error = run(write(tmp_path, labelled, "gz", name="labels.dump"))
    assert error is None and [f.columns["type"].tolist() for f in frames] == \
        [[k.encode() for k in kinds[step]] for step in (0, 10)]
    # Masses by label, as by number: the same upscaled particles, the labels no value of theirs.
    numbered = {"CA": 1, "O1": 2, long: 3}
    numbers = "".join(frame(step, "id mol type xu yu zu", rows(step, [numbered[k] for k in kinds[step]]))
                      for step in (0, 10))
    # Elements name the masses as labels do where the types are numbers (dump_modify element C H).
    elements = labelled.replace("id mol type", "id mol type element").replace(" 1 CA ", " 1 1 CA ") \
        .replace(" 1 O1 ", " 1 2 O1 ").replace(f" 2 {long} ", f" 2 3 {long} ")
    by_labels = [vireo20.run(path, tmp_path / f"by_label{k}", picture_step=None,
                             masses=["CA=12.011", "O1=15.999", f"{long}=1.008"])
                 for k, path in enumerate((str(tmp_path / "labels.dump.gz"), write(tmp_path, elements, name="e.dump")))]
    by_number = vireo20.run(write(tmp_path, numbers, name="numbers.dump"), tmp_path / "by_number",
                            picture_step=None, masses=["1=12.011", "2=15.999", "3=1.008"])
    from test_vireo20_job import read_vtp
    for by_label in by_labels:
        for a, b in zip(map(read_vtp, by_label.files), map(read_vtp, by_number.files)):
            assert "element" not in a and [a[k].tolist() for k in ("points", "mass")] == \
                [b[k].tolist() for k in ("points", "mass")]
    with pytest.raises(InputError, match="atom type 'O1' on row 2 has no mass"):
        vireo20.run(str(tmp_path / "labels.dump.gz"), tmp_path / "missing", masses=["CA=12", f"{long}=1"])
    for name, text, problem in [
            ("long.dump", labelled.replace(long, long + "H"), "is longer than 32 characters, too long for a label"),
            ("mixed.dump", numbers + labelled.replace("TIMESTEP\n0\n", "TIMESTEP\n20\n", 1).split("ITEM: TIMESTEP\n10")[0],
             "is not an integer (a label, where the dump's first frame has numbers")]:
        assert problem in run(write(tmp_path, text, name=name))[1]


def test_liggghts_multisphere_bodies_are_the_groups_without_mol(tmp_path):
    rows = [[1, 1, 1.0, 0.5, 1, 1], [2, 1, 1.0, 1.5, 1, 1], [3, -1, 1.0, 3, 1, 1], [4, 2, 1.0, 2, 2, 2]]
    loaded, = run(write(tmp_path, frame(0, "id id_multisphere mass x y z", rows)))[0]
    assert_array_equal(vireo20.upscale(**loaded.arguments()).group_id, [1, -1, 2])
    # LIGGGHTS's examples dump `id type type ...`: a column named twice with the same values is one.
    twice = [row[:2] + [7, 7] + row[2:] for row in rows]
    loaded, = run(write(tmp_path, frame(0, "id id_multisphere type type mass x y z", twice), name="twice"))[0]
    assert sorted(loaded.columns) == ["id", "id_multisphere", "mass", "type"]
    assert loaded.columns["type"].tolist() == [7] * 4


def test_positions_from_image_flags_and_scaled_coordinates_in_a_tilted_box(tmp_path):
    # A box [0,4]x[0,5]x[0,6] tilted by xy=1, xz=-0.5, yz=0.25: the dump writes its bounding box.
    box = dict(box="xy xz yz pp pp ff", bounds="-0.5 5 1\n0 5.25 -0.5\n0 6 0.25\n")
    text = (frame(7, "id x y z ix iy iz", [[1, 1.0, 2.0, 3.0, 1, -1, 2]], **box)
            + frame(8, "id xs ys zs ix iy iz", [[1, 0.5, 0.5, 0.5, 1, 0, 0]], **box)
            + frame(9, "id x y z", [[1, 1.0, 2.0, 3.0]], **box) + frame(10, "id x y z", [[1, 1, 2, 3]], box="ff ff ff"))
    frames, error = run(write(tmp_path, text))
    assert error is None
    assert_array_equal(frames[0].positions, [[1.0 + 4 - 1 - 1.0, 2.0 - 5 + 0.5, 3.0 + 12]])
    assert_array_equal(frames[1].positions, [[2.0 + 0.5 - 0.25 + 4, 2.5 + 0.125, 3.0]])
    assert frames[0].box.tilt == (1.0, -0.5, 0.25) and frames[0].box.periodic.tolist() == [True, True, False]
    assert_array_equal(frames[0].box.hi, [4, 5, 6])
    assert [f.wrapped for f in frames] == [False, False, True, False]
    assert set(frames[0].columns) == {"id"}


def test_vectors_are_merged_and_named(tmp_path):
    names = "id xu yu zu vx vy vz fx fy fz omegax omegay omegaz c_f[1] c_f[2] c_f[3] mu mux muy muz i2_a[1] i2_a[2] v_dx"
    frames, error = run(write(tmp_path, frame(0, names, [list(range(1, 24))])))
    assert error is None
    columns = frames[0].columns
    shapes = {name: (array.shape, array.dtype.kind) for name, array in columns.items()}
    assert shapes == {"id": ((1,), "i"), "velocity": ((1, 3), "f"), "force": ((1, 3), "f"), "omega": ((1, 3), "f"),
                      "c_f": ((1, 3), "f"), "mu": ((1,), "f"), "mux": ((1,), "f"), "muy": ((1,), "f"),
                      "muz": ((1,), "f"), "i2_a": ((1, 2), "i"), "v_dx": ((1,), "f")}
    assert_array_equal(columns["c_f"], [[14, 15, 16]])


@pytest.mark.parametrize("compressed", [False, *PACK])
def test_contacts_join_the_atom_frame_of_their_timestep_and_loaders_travel(tmp_path, compressed):
    atoms = write(tmp_path, GOOD, compressed)
    entries = "c_p[1] c_p[2] kind c_force[1] c_force[2] c_force[3]"
    contacts = write(tmp_path, frame(10, entries, [[1, 2, 0, 0.5, 1, 2], [2, 7, 3, 1, 1, 1]], item="ENTRIES")
                     + frame(15, entries, [[2, 1, 0, 1, 1, 1]], item="ENTRIES"), compressed, "contacts.dump")
    series = read_lammps.open_series(atoms, contacts)
    loaders = [pickle.loads(pickle.dumps(loader)) for loader in series.loaders()]
    series.finish()
    frames = [loader.load() for loader in loaders]
    assert len(series) == 3 and [len(f.contacts) for f in frames] == [0, 2, 0]
    assert_array_equal(frames[1].contacts, [[1, 2], [2, 7]])
    assert_array_equal(frames[1].contact_kinds, [0, 3])
    assert_array_equal(frames[1].contact_values["c_force"], [[0.5, 1, 2], [1, 1, 1]])
    assert frames[2].source == atoms and frames[2].index == 2
    assert listed_as_read(read_lammps.open_series(atoms, contacts), frames)


def test_a_frame_let_go_lends_its_column_memory_to_the_next_while_a_kept_frame_stays_intact(tmp_path):
    """During a run, blocks of 4 MiB and more that a parsed frame lets go are kept for the next
    frame's columns (pages the kernel need not clear again), never while a frame still holds them,
    and none once the run gives memory back."""
    from vireo20 import _lammpsdump, system
    rows = 200_000  # positions of 4.8 MB
    head = "ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n%d\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 5\n0 6\n" \
           "ITEM: ATOMS id xu yu zu\n" % rows
    text = "".join(head.format(step) + "".join(f"{k + 1} {step + k} 0 0.5\n" for k in range(rows))
                   for step in (0, 10, 20))
    system.keep_freed_blocks()
    try:
        series = read_lammps.open_series(write(tmp_path, text))
        loaders = iter(series.loaders())
        first, second = next(loaders).load(), next(loaders).load()
        before = _lammpsdump.freed_blocks_kept()
        del second
        lent = _lammpsdump.freed_blocks_kept()
        assert lent > before
        third = next(loaders).load()
        assert _lammpsdump.freed_blocks_kept() < lent
        for kept, step in ((first, 0), (third, 20)):
            assert_array_equal(np.asarray(kept.positions)[:, 0], step + np.arange(rows))
        series.finish()
    finally:
        system.give_back_freed_blocks()
    del third
    assert _lammpsdump.freed_blocks_kept() == 0


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gz"])
def test_units_and_time_items_ahead_of_each_step_are_read(tmp_path, compressed):
    """dump_modify units/time yes: UNITS ahead of the first step, TIME ahead of every one. The
    frames are those of the same dump without them, also where the index's threads split the file
    between a TIME item and its step (two threads, the middle of two equal frames), and their times
    are the series' time axis."""
    rows = [[k + 1, k // 3 + 1, 1, 1.5, k * 0.25, 1, 2, -0.5] for k in range(15000)]
    bare = [frame(step, COLUMNS, rows) for step in (10, 20)]
    ahead = ["ITEM: UNITS\nlj\nITEM: TIME\n0\n", "ITEM: TIME\n1.0000000000000000e+00\n"]
    timed = ahead[0] + bare[0] + ahead[1] + bare[1]
    second = len(ahead[0]) + len(bare[0])
    assert second < len(timed) // 2 < second + len(ahead[1])
    frames, error = run(write(tmp_path, timed, compressed))
    assert error is None and [(f.timestep, f.time) for f in frames] == [(10, 0.0), (20, 1.0)]
    assert listed_as_read(read_lammps.open_series(write(tmp_path, timed, compressed)), frames)
    assert digest(frames) == digest(run(write(tmp_path, "".join(bare), name="bare.dump"))[0])
    up = vireo20.run(write(tmp_path, timed, compressed), tmp_path / "up", picture_step=None,
                     lammps_dump=tmp_path / "up.dump")
    assert [d.get("timestep") for d in ElementTree.parse(up.pvd).iter("DataSet")] == ["0.0", "1.0"]
    assert [f.time for f in run(up.lammps_dump)[0]] == [0.0, 1.0]
    # Times that go back (a reset of the time) or stand still (a writer that stored none) leave the
    # series at its timesteps.
    from vireo20.write_vtk import pvd_text
    assert all('timestep="10"' in pvd_text([(0, "a.vtp"), (10, "b.vtp")], times) for times in ([1.0, 0.5], [0.0, 0.0]))
    assert read_lammps.sniff(write(tmp_path, timed, compressed), timed[:64].encode()) or compressed
    reader = read_lammps._native().Reader(write(tmp_path, timed, compressed), "ATOMS", 0)
    assert [reader.next_header()["time"], reader.next_header()["time"], reader.next_header()] == [0.0, 1.0, None]
    if not compressed:
        assert read_lammps._native().index(write(tmp_path, timed))[0].tolist() == [0, second]


def test_a_general_triclinic_box_is_its_edge_vectors_and_origin(tmp_path):
    """dump_modify triclinic/general yes: the tilted box above turned a quarter about z, at (1, 2, 3);
    image flags and scaled coordinates count whole edge vectors, a group across a face is made whole,
    and the dump the job writes gives the same box back."""
    import vireo20
    from vireo20.write_lammps import box_header
    edges = np.array([[0, 4, 0], [-5, 1, 0], [-0.25, -0.5, 6]])
    box = dict(box="abc origin pp pp ff", bounds="".join(f"{a} {b} {c} {o}\n" for (a, b, c), o in zip(edges, (1, 2, 3))))
    text = (frame(7, "id x y z ix iy iz", [[1, 1.0, 2.0, 3.0, 1, -1, 2]], **box)
            + frame(8, "id xs ys zs", [[1, 0.5, 0.5, 0.5]], **box)
            + frame(9, "id mol mass x y z", [[1, 1, 1.0, 1.0, 2.4, 3.0], [2, 1, 1.0, 1.0, 5.6, 3.0]], **box))
    frames, error = run(write(tmp_path, text))
    assert error is None and not frames[0].box.restricted
    assert_array_equal(frames[0].positions, [[5.5, 4.0, 15.0]])
    assert_array_equal(frames[1].positions, [[-1.625, 4.25, 6.0]])
    assert frames[2].wrapped and frames[2].box.periodic.tolist() == [True, True, False]
    result = vireo20.upscale(**frames[2].arguments())
    assert_allclose(result["radius_of_gyration"], [0.4], rtol=1e-15)
    header = box_header(frames[0].box, None)
    written = write(tmp_path, f"ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n0\n{header}ITEM: ATOMS id x y z\n", name="back.dump")
    assert run(written)[0][0].box == frames[0].box


STEPS = (0, 200, 1000)  # a name order (dump.0, dump.1000, dump.200) unlike the steps'


@pytest.mark.parametrize("given", ["folder", "pattern", "files", "in_order"])
def test_a_dump_written_one_file_per_step_is_one_series_in_the_order_of_its_steps(tmp_path, given):
    entries = "c_p[1] c_p[2] c_f"
    whole = write(tmp_path, "".join(frame(step, COLUMNS, ROWS) for step in STEPS), name="whole.dump")
    tmp_path = tmp_path / "post"
    tmp_path.mkdir()
    for k, step in enumerate(STEPS):
        # gzip, zstd and plain files mixed, and a dump local of contacts in the same folder.
        write(tmp_path, frame(step, COLUMNS, ROWS), [False, "gz", "zst"][k], f"dump.{step}.liggghts")
        # One named by dump_modify label.
        write(tmp_path, frame(step, entries, [[1, 2, step]], item=["ENTRIES", "ENTRIES", "PAIRS"][k]),
              [False, "zst", "gz"][k], f"pairs.{step}.liggghts")
    write(tmp_path, "log of the run\n", name="log.liggghts")
    names = {"folder": str(tmp_path), "pattern": str(tmp_path / "dump.*"),
             "files": sorted(str(p) for p in tmp_path.glob("dump.*")), "in_order": str(tmp_path / "dump.*")}
    # A folder's dump local is its contacts unasked.
    contacts = None if given == "folder" else str(tmp_path / "pairs.*")
    series = read_lammps.open_series(names[given], contacts)
    if given == "in_order":
        series.read_in_order()
    loaders = [pickle.loads(pickle.dumps(loader)) for loader in series.loaders()]
    series.finish()
    frames = [loader.load() for loader in loaders]
    assert len(series) == 3 and [f.timestep for f in frames] == list(STEPS) and [f.index for f in frames] == [0, 1, 2]
    assert [f.contact_values["c_f"].tolist() for f in frames] == [[step] for step in STEPS]
    assert frames[1].source.endswith("dump.200.liggghts.gz")
    assert digest(frames) == digest(run(whole)[0])


CUTS = ((0, 3), (3, 3), (3, 7))  # processor 1 holds no atom


def write_pieces(folder, layout, piece=lambda p, step, rows: frame(step, COLUMNS, rows)):
    """A dump and its dump local written per processor (`%` in `layout`'s {p}, `*` in its {s}), plain, gzip
    and zstd; and the same dump written whole. `piece` gives each processor's frame text."""
    rows = {step: [[k + 1, k // 3 + 1, 1, 1.5, k * 0.25, 1, 1, step + k] for k in range(7)] for step in STEPS}
    whole = write(folder, "".join(frame(step, COLUMNS, rows[step]) for step in STEPS), name="whole.dump")
    for p, (a, b) in enumerate(CUTS):
        for steps in ([STEPS] if "{s}" not in layout else [[step] for step in STEPS]):
            name = layout.format(p=p, s=steps[0])
            write(folder, "".join(piece(p, step, rows[step][a:b]) for step in steps), ["gz", False, "zst"][p], name)
            write(folder, "".join(frame(step, "c_p[1] c_p[2] c_f", [[1, 2, p]], item="ENTRIES") for step in steps),
                  name="pairs." + name)
    return whole


@pytest.mark.parametrize("layout", ["dump.{p}", "dump.{s}.{p}", "dump.{p}.{s}"])
@pytest.mark.parametrize("in_order", [False, True])
def test_the_pieces_of_a_dump_written_per_processor_are_joined_as_the_dump_written_whole(tmp_path, layout, in_order):
    whole = write_pieces(tmp_path, layout)
    series = read_lammps.open_series(str(tmp_path / "dump.*"), str(tmp_path / "pairs.*"))
    if in_order:
        series.read_in_order()
    loaders = [pickle.loads(pickle.dumps(loader)) for loader in series.loaders()]
    series.finish()
    frames = [loader.load() for loader in loaders]
    assert len(series) == 3 and [f.timestep for f in frames] == list(STEPS)
    assert digest(frames) == digest(run(whole)[0])
    assert [f.contact_values["c_f"].tolist() for f in frames] == [[0, 1, 2]] * 3
    assert listed_as_read(read_lammps.open_series(str(tmp_path / "dump.*"), str(tmp_path / "pairs.*")), frames)


def _at(change, at=200):
    """Processor 1's frame of step `at` changed (its text, from its rows), the others as written."""
    return lambda p, step, rows: change(step, rows) if (p, step) == (1, at) else frame(step, COLUMNS, rows)


@pytest.mark.parametrize("piece, error", [
    (_at(lambda s, rows: frame(s, COLUMNS, [[1] + ROWS[0][1:]])), "step 200: array 'id': atom id 1 is also in .*dump.0.gz"),
    (_at(lambda s, rows: "", 1000), "step 1000: the file ends before step 1000, which .*dump.0.gz holds"),
    (_at(lambda s, rows: frame(300, COLUMNS, rows)), "step 300: array 'timestep': .*dump.0.gz holds step 200 at this"),
    (_at(lambda s, rows: frame(s, COLUMNS, rows, bounds="0 4\n0 5\n0 7\n")),
     r"step 200: array 'BOX BOUNDS': Box\(lo=\[0.0, 0.0, 0.0\], hi=\[4.0, 5.0, 7.0\].* differs from Box"),
    (_at(lambda s, rows: frame(s, COLUMNS + " vy", [])), "step 200: its columns are not those of .*dump.0.gz"),
], ids=["shared id", "ends early", "other step", "other box", "other columns"])
def test_pieces_that_disagree_stop_the_series_at_their_step(tmp_path, piece, error):
    write_pieces(tmp_path, "dump.{p}", piece)
    frames, told = run(str(tmp_path / "dump.*"))
    assert len(frames) == (2 if "ends" in error else 1) and told is not None
    assert re.match(f"{re.escape(str(tmp_path / 'dump.1'))}: {error}.*the files are joined as the pieces of a dump "
                    "written per processor", told), told


def test_runs_restarted_into_folders_of_their_own_are_not_pieces(tmp_path):
    """Each run begins with the step the one before ended on."""
    for run_, steps in (("run1", (0, 100)), ("run2", (100, 200))):
        os.makedirs(tmp_path / run_)
        for step in steps:
            write(tmp_path / run_, frame(step, COLUMNS, ROWS), name=f"dump.{step}")
    frames, error = run([str(tmp_path / run_ / f"dump.{step}") for run_, step in
                         (("run1", 0), ("run1", 100), ("run2", 100), ("run2", 200))])
    assert error is None and [f.timestep for f in frames] == [0, 100, 100, 200]


def test_a_dump_local_piece_without_headers_in_a_folder_is_refused_not_passed_over(tmp_path):
    """LAMMPS 2021 heads only processor 0's file of a dump local written per processor (given by
    name, the LAMMPS test sees it refused)."""
    write(tmp_path, frame(0, COLUMNS, ROWS), name="dump.0")
    write(tmp_path, frame(0, "c_p[1] c_p[2]", [[1, 2]], item="ENTRIES"), name="pairs.0")
    write(tmp_path, "2 1\n", name="pairs.1")
    with pytest.raises(InputError, match=r"pairs.1: the file does not start as a LAMMPS dump, unlike .*pairs.0; a dump"):
        read_lammps.open_series(str(tmp_path / "dump.*"), str(tmp_path))


def test_a_file_of_a_series_written_step_by_step_must_hold_frames(tmp_path):
    write(tmp_path, frame(0, COLUMNS, ROWS), name="dump.0")
    empty = write(tmp_path, "", name="dump.1")
    # An empty file does not even look like a dump: named among the files, it is refused as one.
    with pytest.raises(InputError, match="dump.1: is not a LAMMPS dump as .*dump.0 is: several files"):
        vireo20_open([str(tmp_path / "dump.0"), empty])
    frames, error = run([str(tmp_path / "dump.0"), empty])
    assert len(frames) == 1 and error == f"{empty}: no frames: the file holds no 'ITEM: TIMESTEP'"
    with pytest.raises(InputError, match="no file matches this pattern"):
        read_lammps.open_series(str(tmp_path / "nothing*"))


def vireo20_open(path):
    from vireo20 import inputs
    return inputs.open_series(path)


def test_a_folder_of_two_runs_dumps_is_refused_for_a_pattern(tmp_path):
    for stem in ("melt.", "quench."):
        write(tmp_path, frame(0, COLUMNS, ROWS), name=f"{stem}0.dump")
    with pytest.raises(InputError, match=r"several dumps \(melt.#.dump, quench.#.dump\).*as '.*melt.\*.dump'"):
        read_lammps.open_series(str(tmp_path))


def test_contact_ids_name_the_pair_columns_where_positions_come_first(tmp_path):
    """LIGGGHTS's compute pair/gran/local pos id force: x1 y1 z1 x2 y2 z2 id1 id2 periodic fx fy fz."""
    atoms = write(tmp_path, GOOD)
    columns = " ".join(f"c_fc[{k}]" for k in range(1, 13))
    rows = [[0.5, 1, 1, 1.5, 1, 1, 2, 1, 0, 0.25, -1, 3], [0.5, 1, 1, 1.5, 1, 1, 1, 2, 1, 1, 1, 1]]
    contacts = write(tmp_path, frame(10, columns, rows, item="ENTRIES"), name="pairs.dump")
    frames, error = run(atoms, contacts)
    assert error.endswith("array 'c_fc[1]': value '0.5' on data line 1 (line 10 of the file) is not an integer (an atom "
                          "id is expected: name the two atom-id columns with --contact-ids)")
    series = read_lammps.open_series(atoms, contacts, contact_ids=("c_fc[7]", "c_fc[8]"))
    frames = [loader.load() for loader in series.loaders()]
    assert_array_equal(frames[1].contacts, [[2, 1], [1, 2]])
    assert sorted(frames[1].contact_values) == ["c_fc", "c_fc[10]", "c_fc[11]", "c_fc[12]", "c_fc[9]"]
    assert_array_equal(frames[1].contact_values["c_fc[10]"], [0.25, 1])
    # The index column of dump local numbers the pairs: neither an id nor a value.
    indexed = write(tmp_path, frame(10, "index a b f", [[1, 2, 1, 0.5], [2, 1, 2, 1.5]], item="ENTRIES"), name="i.dump")
    with_index = run(atoms, indexed)[0][1]
    assert with_index.contacts.tolist() == [[2, 1], [1, 2]] and list(with_index.contact_values) == ["f"]
    # dump local writes ids with %g by default: 1234567 as 1.23457e+06, another whole number.
    rounded = write(tmp_path, frame(10, "a b", [[1, "1.23457e+06"]], item="ENTRIES"), name="rounded.dump")
    assert run(atoms, rounded)[1].endswith("array 'b': value '1.23457e+06' on data line 1 (line 10 of the file) "
                                           "may have lost its last digits (written with fewer significant digits than the integer has, "
                                           "as printf's %g writes a number of 7 digits or more): write the column "
                                           "with all its digits (dump_modify format)")
    with pytest.raises(InputError, match=r"has no column c_fc\[13\] \(contact_ids\)"):
        run_ids = read_lammps.open_series(atoms, contacts, contact_ids=("c_fc[7]", "c_fc[13]"))
        [loader.load() for loader in run_ids.loaders()]


def binary_frame(step, columns, rows, old=False, units="lj", time=None, bounds=(0, 4, 0, 5, 0, 6), chunks=(1, 1)):
    """A frame of a binary dump as LAMMPS writes it (its older format, naming no columns, where `old`),
    its atoms in the processors' chunks of `chunks` rows."""
    names, magic = columns.split(), b"DUMPATOM" if columns.startswith("id type xs") else b"DUMPCUSTOM"
    data = b"" if old else struct.pack("<q", -len(magic)) + magic + struct.pack("<ii", 1, 2)
    data += struct.pack("<qqi6i6di", step, len(rows), 0, *[0] * 6, *bounds, len(names))
    if not old:
        data += struct.pack("<i", len(units)) + units.encode()
        data += struct.pack("<bd", 1, time) if time is not None else b"\0"
        data += struct.pack("<i", len(columns)) + columns.encode()
    values, at = np.array(rows, np.float64), 0
    data += struct.pack("<i", len(chunks))
    for n in chunks:
        data += struct.pack("<i", n * len(names)) + values[at:at + n].tobytes()
        at += n
    return data


BINARY = b"".join(binary_frame(step, COLUMNS, ROWS, time=step * 0.5) for step in (0, 10, 20))
_BINARY_LAST = BINARY.index(binary_frame(20, COLUMNS, ROWS, time=10.0))
BINARY_MALFORMED = {  # bytes, frames loaded before the error, the error after "path: "
    "cut short": (BINARY[:-5], 2, "step 20: the file ends inside the frame (cut short? a dump still being written"),
    "cut in the header": (BINARY[:_BINARY_LAST + 30], 2, "step #2 of the file: the file ends inside a "
                                                         "frame's header"),
    "flipped name length": (BINARY[:_BINARY_LAST + 1] + b"\xf0" + BINARY[_BINARY_LAST + 2:], 2,
                            "step #2 of the file: a frame's header gives a length of"),
    "flipped magic length": (BINARY[:_BINARY_LAST] + b"\xf7" + BINARY[_BINARY_LAST + 1:], 2,
                             f"step #2 of the file: not a LAMMPS binary dump frame at byte {_BINARY_LAST}"),
    "integer": (BINARY[:_BINARY_LAST] + binary_frame(20, COLUMNS, [[1.5, *ROWS[0][1:]], ROWS[1]]), 2,
                "step 20: array 'id': 1.5 of atom 1 of the frame is not an integer"),
    "old custom": (binary_frame(0, COLUMNS, ROWS, old=True), 0,
                   "step 0: the binary dump names none of its 8 columns (an older LAMMPS's format, or a dump "
                   "custom/mpiio's): name them with --columns"),
}


@pytest.mark.parametrize("case", BINARY_MALFORMED)
def test_a_malformed_binary_frame_stops_the_series_after_the_frames_before_it(tmp_path, case):
    data, before, message = BINARY_MALFORMED[case]
    path = write(tmp_path, data, name="atoms.bin")
    frames, error = run(path)
    assert len(frames) == before and error is not None and error.startswith(f"{path}: {message}"), error
    assert ("--frames :-1 leaves its last frame out" in error) == (case == "cut short")


def test_binary_dumps_give_the_frames_of_the_text_dump(tmp_path):
    frames, error = run(path := write(tmp_path, BINARY, name="atoms.bin"))
    text = GOOD.replace("ITEM: TIMESTEP", "ITEM: UNITS\nlj\nITEM: TIMESTEP", 1)
    expected = run(write(tmp_path, text))[0]
    assert error is None and digest(frames) == digest(expected)
    assert [(f.timestep, f.time, f.units) for f in frames] == [(0, 0.0, "lj"), (10, 5.0, "lj"), (20, 10.0, "lj")]
    # Written per processor (dump.%.bin): its pieces joined.
    (tmp_path / "pieces").mkdir()
    for p, rows in enumerate((ROWS[:1], ROWS[1:])):
        write(tmp_path / "pieces", b"".join(binary_frame(step, COLUMNS, rows, time=step * 0.5, chunks=(1,))
                                            for step in (0, 10, 20)), name=f"atoms.{p}.bin")
    assert digest(run(str(tmp_path / "pieces" / "atoms.*.bin"))[0]) == digest(frames)
    # The older format (dump custom/mpiio's), its columns named by the user.
    old = write(tmp_path, b"".join(binary_frame(step, COLUMNS, ROWS, old=True) for step in (0, 10, 20)), name="old.bin")
    named = list(read_lammps.open_series(old, columns=COLUMNS.split()))
    assert digest(named) == digest(frames) and [f.units for f in named] == [None] * 3
    for given, columns, message in [(old, COLUMNS.split()[:-1], "--columns names 7 columns for the frame's 8 values"),
                                    (path, ["id"], "the dump names its columns")]:
        with pytest.raises(InputError, match=message):
            list(read_lammps.open_series(given, columns=columns))
    # dump atom: scaled positions in the box.
    rows = [[1, 1, 0.25, 0.5, 0.5, 0, 1, 0], [2, 2, 0.5, 0.25, 0.75, 0, 0, -1]]
    atoms = run(write(tmp_path, binary_frame(0, "id type xs ys zs ix iy iz", rows), name="atom.bin"))[0]
    assert_array_equal(atoms[0].positions, [[1.0, 7.5, 3.0], [2.0, 1.25, -1.5]])
