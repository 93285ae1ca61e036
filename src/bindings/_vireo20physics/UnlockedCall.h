// A call of the job's that reads a generator's step without the interpreter lock, so that its reader of the
// next frame and writer of the last go on meanwhile: the generator is marked as read (a new step is
// refused meanwhile), the step's enabled list and the call's arrays are pinned against resizes, then
// the lock is let go; all is undone in the reverse order when the call's scope ends. The caller holds
// every argument until then, so that nothing Python owns is released without the lock.
#pragma once

#include <initializer_list>
#include <optional>

#include <boost/shared_ptr.hpp>

#include "bindings/_vireo20upscaling/MPUpscalingGenerator.h"
#include "bindings/common/GilReleased.h"
#include "bindings/common/PinnedStorages.h"

namespace vireo20 {
namespace ups {

class UnlockedCall {
 public:
  using ArrayPtr = boost::shared_ptr<const quill20::core::IArray>;

  explicit UnlockedCall(const MPUpscalingGenerator& p_Generator, std::initializer_list<ArrayPtr> p_Arrays = {})
      : m_Reading(p_Generator)
  {
    m_Pins.add(p_Generator.enabled_indexes());
    for (const ArrayPtr& array : p_Arrays) m_Pins.add(array);
    m_Released.emplace();
  }

 private:
  MPUpscalingGenerator::Reading m_Reading;
  bindings::PinnedStorages m_Pins;
  std::optional<bindings::GilReleased> m_Released;  // last made, first undone
};

}  // namespace ups
}  // namespace vireo20
