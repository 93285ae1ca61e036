// The memory of the parsed columns. A run parses frame after frame of the same size, and each frame's
// columns are let go a few frames later: blocks of 4 MiB and more that a frame's arrays give back are
// kept, while the table is held, for the next frame's arrays of the same size (to an eighth). Fresh
// memory otherwise costs the kernel a clearing of every page on first touch: a fifth of a run's CPU
// time at 2 M atoms a frame. At most 16 blocks and 2 GiB are kept, and nothing once no one holds the
// table.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace vireo20 {
namespace io {

// NumPy's memory handler (a capsule) for the arrays that parse makes.
PyObject* column_blocks_handler();

// Blocks are kept only while someone holds the table: an open reader (a gzip dump is read by one
// reader from end to end), or a run reading frame after frame (hold_column_blocks). The last to let go
// frees what is kept.
void column_blocks_hold();
void column_blocks_let_go();

// How many blocks are kept now.
std::size_t column_blocks_kept();

}  // namespace io
}  // namespace vireo20
