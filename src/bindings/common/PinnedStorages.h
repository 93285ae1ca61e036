// The storages of the arrays a call reads without the interpreter lock, pinned for the call: a pinned
// storage refuses to resize (another thread would move the memory under the call) and stays alive
// whatever its array is given meanwhile. Pins are taken and dropped under the interpreter lock.
#pragma once

#include <memory>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "quill20/core/array/IArray.h"
#include "quill20/core/array/MemoryExport.h"

namespace vireo20 {
namespace bindings {

class PinnedStorages {
 public:
  // Arrays without storage (or none at all) have nothing to pin.
  void add(const boost::shared_ptr<const quill20::core::IArray>& p_Array)
  {
    if (!p_Array) return;
    boost::shared_ptr<quill20::core::IArrayImpl> storage = p_Array->get_implementation();
    if (storage) m_Pins.push_back(std::make_unique<quill20::core::MemoryExport>(std::move(storage)));
  }

 private:
  std::vector<std::unique_ptr<quill20::core::MemoryExport>> m_Pins;
};

}  // namespace bindings
}  // namespace vireo20
