// IArray: what every array offers whatever its element type and dimension.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/ScalarType.h"
#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {

class IArrayImpl;
class IArrayImplFactory;

class QUILL20_API IArray {
 public:
  virtual ~IArray();
  virtual std::uint64_t number_of_dimensions() const = 0;
  virtual ScalarType scalar_type() const = 0;
  virtual std::uint64_t size() const = 0;
  virtual AnyHandle get_shape() const = 0;
  virtual bool operator==(const IArray& p_Other) const = 0;
  virtual bool operator!=(const IArray& p_Other) const = 0;
  // Replaces the storage by a private deep copy; co-owners keep the storage they had.
  virtual void make_unique() = 0;
  virtual void* raw_data() = 0;
  // One-way latch: the element count may no longer change through this array.
  virtual void set_fixed_shape() = 0;
  virtual void set_implementation(boost::shared_ptr<IArrayImpl> p_Implementation) = 0;
  virtual void reset() = 0;
  virtual boost::shared_ptr<IArrayImpl> get_implementation() const = 0;
  virtual boost::shared_ptr<IArrayImpl> get_implementation() = 0;
  virtual void negate() = 0;
  virtual void scale(double p_Factor) = 0;
  virtual IArrayImplFactory& factory() const = 0;
  virtual unsigned int implementation_use_count() const = 0;
  virtual bool is_implementation_unique() const = 0;
  virtual ElementShape element_shape() const = 0;
};

}  // namespace core
}  // namespace quill20
