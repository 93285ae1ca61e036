// The interpreter lock let go for a scope of native work and taken back however the scope ends, so
// that other Python threads (the job's reader of the next frame, its writer of the last) go on.
// The work must not touch Python objects, nor drop the last reference to one: callers hold their
// arguments until the scope has ended.
#pragma once

#include <Python.h>

namespace vireo20 {
namespace bindings {

class GilReleased {
 public:
  GilReleased() : m_State(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(m_State); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* m_State;
};

}  // namespace bindings
}  // namespace vireo20
