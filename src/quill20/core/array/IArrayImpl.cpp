// Compiled once, in this library.
#include "quill20/core/array/IArrayImpl.inl"
