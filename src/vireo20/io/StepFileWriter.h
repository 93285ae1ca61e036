// A step's vtkPolyData written as VTK XML (raw appended data, 64-bit headers), from native code so
// that the caller may let go of the interpreter lock while it is written.
#pragma once

#include <string>

#include "vireo20/Export.h"

class vtkPolyData;

namespace vireo20 {
namespace io {

struct StepFileOutcome {
  int answer = 0;                // what vtkWriter::Write answered (1: done)
  unsigned long error_code = 0;  // the writer's vtkErrorCode, 0 when none
  bool error_reported = false;   // the writer or its executive raised an error event
};

// Writes p_Data to p_Path. VTK's error texts are caught, not printed: the caller reports a failure in
// one line from the outcome. Touches no Python object.
VIREO20_API StepFileOutcome write_step_file(vtkPolyData& p_Data, const std::string& p_Path);

}  // namespace io
}  // namespace vireo20
