// What every grid function shares: location, description and the one operation nobody offers.
#include "quill20/core/grid_function/IGridFunction.h"

#include "quill20/core/IAvailabilityException.h"

namespace quill20 {
namespace core {

IGridFunction::IGridFunction() : m_Location(onCell) {}
IGridFunction::IGridFunction(LocationType p_Location) : m_Location(p_Location) {}
IGridFunction::IGridFunction(const IGridFunction& p_Other) = default;
IGridFunction& IGridFunction::operator=(const IGridFunction& p_Other) = default;
IGridFunction::~IGridFunction() = default;

IScalarGridFunction::~IScalarGridFunction() = default;

bool IGridFunction::do_change_location(LocationType)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, ": " << std::endl << "Can't change this GridFunction location.");
}

void IGridFunction::print(std::ostream& p_Stream, const std::string& p_Indent, const std::string& p_Label) const
{
  ISciObject::print(p_Stream, p_Indent, p_Label.empty() ? std::string("GridFunction") : p_Label);
  p_Stream << p_Indent << "  Accepted Handles: " << accepted_handles() << std::endl;
  p_Stream << p_Indent << "  Location: " << static_cast<int>(m_Location) << std::endl;
  p_Stream << p_Indent << "  Result Scalar Type: " << scalar_type_name(result_scalar_type()) << std::endl;
  p_Stream << p_Indent << "  Result Shape: " << result_shape() << std::endl;
  p_Stream << p_Indent << "  Number of Elements: " << ElementCount{number_of_elements()} << std::endl;
}

}  // namespace core
}  // namespace quill20
