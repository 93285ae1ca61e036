// Subjects tell their observers when they change; the links live in the Observations registry.
#pragma once

#include "quill20/Export.h"

namespace quill20 {
namespace core {

class QUILL20_API IObserver {
 public:
  // Removes every observation this observer takes part in.
  virtual ~IObserver();
  virtual void update() = 0;
};

class QUILL20_API ISubject {
 public:
  // Removes every observation of this subject.
  virtual ~ISubject();
};

// Records the pair once; a pair already recorded is not added again.
QUILL20_API void add_observation(ISubject* p_Subject, IObserver* p_Observer);
// Removes a recorded pair; an unknown pair is a precondition failure and changes nothing.
QUILL20_API void remove_observation(ISubject* p_Subject, IObserver* p_Observer);
// Calls update() on every observer of the subject, in list order. When updates fail, the remaining
// observers are still updated and the first failure is rethrown at the end.
QUILL20_API void notify(ISubject* p_Subject);

}  // namespace core
}  // namespace quill20
