// A step's vtkPolyData written as VTK XML (raw appended data, 64-bit headers), from native code so
// that the caller may let go of the interpreter lock while it is written.
#pragma once

#include <cstddef>
#include <string>

#include "vireo20/Export.h"
#include "vireo20/io/FileChecksum.h"

class vtkPolyData;

namespace vireo20 {
namespace io {

struct StepFileOutcome {
  int answer = 0;                // what vtkWriter::Write answered (1: done)
  unsigned long error_code = 0;  // the writer's vtkErrorCode, 0 when none
  bool error_reported = false;   // the writer or its executive raised an error event
  bool sum_known = false;        // sum holds the size and CRC-32 of the bytes written
  FileChecksum sum;
};

// Writes p_Data to p_Path, around the page cache where the file system allows it (DirectFileBuffer,
// p_Chunk bytes at a time). VTK's error texts are caught, not printed: the caller reports a failure in
// one line from the outcome, and the file is removed. Touches no Python object.
VIREO20_API StepFileOutcome write_step_file(vtkPolyData& p_Data, const std::string& p_Path,
                                            std::size_t p_Chunk = std::size_t(8) << 20);

}  // namespace io
}  // namespace vireo20
