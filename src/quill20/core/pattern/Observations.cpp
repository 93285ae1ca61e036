// The registry is compiled once, in this library.
#include "quill20/core/pattern/Subject.inl"
