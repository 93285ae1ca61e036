// The step file through VTK's own XML writer, observed for errors, into a stream that writes around
// the page cache.
#include "vireo20/io/StepFileWriter.h"

#include <unistd.h>

#include <ostream>

#include <vtkCallbackCommand.h>
#include <vtkCommand.h>
#include <vtkExecutive.h>
#include <vtkNew.h>
#include <vtkObjectFactory.h>
#include <vtkPolyData.h>
#include <vtkXMLPolyDataWriter.h>

#include "vireo20/io/DirectFileBuffer.h"

namespace vireo20 {
namespace io {

namespace {

void heard_error(vtkObject*, unsigned long, void* p_Heard, void*) { *static_cast<bool*>(p_Heard) = true; }

// VTK's XML writers take a stream of the caller's only through their protected member.
class StreamPolyDataWriter : public vtkXMLPolyDataWriter {
public:
  static StreamPolyDataWriter* New();
  vtkTypeMacro(StreamPolyDataWriter, vtkXMLPolyDataWriter);
  void SetOutputStream(std::ostream* p_Stream) { this->Stream = p_Stream; }
};

vtkStandardNewMacro(StreamPolyDataWriter);

}  // namespace

StepFileOutcome write_step_file(vtkPolyData& p_Data, const std::string& p_Path, std::size_t p_Chunk)
{
  StepFileOutcome outcome;
  DirectFileBuffer file(p_Path, p_Chunk);
  if (file.error() != 0) {
    // What VTK reports when it cannot open a file: the system's error.
    outcome.error_code = static_cast<unsigned long>(file.error());
    return outcome;
  }
  std::ostream stream(&file);
  vtkNew<StreamPolyDataWriter> writer;
  // An observed error event is not printed as well.
  vtkNew<vtkCallbackCommand> listener;
  listener->SetCallback(heard_error);
  listener->SetClientData(&outcome.error_reported);
  writer->AddObserver(vtkCommand::ErrorEvent, listener);
  writer->GetExecutive()->AddObserver(vtkCommand::ErrorEvent, listener);
  writer->SetOutputStream(&stream);
  // Unused for the writing; named in VTK's messages, and removed by VTK on a failure.
  writer->SetFileName(p_Path.c_str());
  writer->SetInputData(&p_Data);
  writer->SetDataModeToAppended();
  writer->EncodeAppendedDataOff();
  writer->SetCompressorTypeToNone();
  writer->SetHeaderTypeToUInt64();
  outcome.answer = writer->Write();
  outcome.error_code = writer->GetErrorCode();
  // The buffer's own error is the cause: VTK reads errno some calls after a write failed.
  if (!file.close()) outcome.error_code = static_cast<unsigned long>(file.error());
  // A file not written whole is removed, as VTK removes a file of its own that it could not finish.
  if (outcome.answer != 1 || outcome.error_code != 0 || outcome.error_reported)
    ::unlink(p_Path.c_str());
  else
    outcome.sum_known = file.written_checksum(outcome.sum);
  return outcome;
}

}  // namespace io
}  // namespace vireo20
