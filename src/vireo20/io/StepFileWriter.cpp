// The step file through VTK's own XML writer, observed for errors.
#include "vireo20/io/StepFileWriter.h"

#include <vtkCallbackCommand.h>
#include <vtkCommand.h>
#include <vtkExecutive.h>
#include <vtkNew.h>
#include <vtkPolyData.h>
#include <vtkXMLPolyDataWriter.h>

namespace vireo20 {
namespace io {

namespace {

void heard_error(vtkObject*, unsigned long, void* p_Heard, void*) { *static_cast<bool*>(p_Heard) = true; }

}  // namespace

StepFileOutcome write_step_file(vtkPolyData& p_Data, const std::string& p_Path)
{
  StepFileOutcome outcome;
  vtkNew<vtkXMLPolyDataWriter> writer;
  // An observed error event is not printed as well.
  vtkNew<vtkCallbackCommand> listener;
  listener->SetCallback(heard_error);
  listener->SetClientData(&outcome.error_reported);
  writer->AddObserver(vtkCommand::ErrorEvent, listener);
  writer->GetExecutive()->AddObserver(vtkCommand::ErrorEvent, listener);
  writer->SetFileName(p_Path.c_str());
  writer->SetInputData(&p_Data);
  writer->SetDataModeToAppended();
  writer->EncodeAppendedDataOff();
  writer->SetCompressorTypeToNone();
  writer->SetHeaderTypeToUInt64();
  outcome.answer = writer->Write();
  outcome.error_code = writer->GetErrorCode();
  return outcome;
}

}  // namespace io
}  // namespace vireo20
