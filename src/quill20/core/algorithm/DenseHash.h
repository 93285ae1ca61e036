// Google's dense hash tables on std::allocator. sparsehash's default allocator hands a failed malloc on
// as a null table, which the next insert writes through; std::allocator throws std::bad_alloc, which
// the bindings raise as MemoryError. Its tables grow by copying anyway, so nothing is lost by going
// without realloc.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include <sparsehash/dense_hash_map>
#include <sparsehash/dense_hash_set>

namespace quill20 {
namespace core {

template <class Key, class T, class Hash = std::hash<Key>>
using DenseHashMap = google::dense_hash_map<Key, T, Hash, std::equal_to<Key>, std::allocator<std::pair<const Key, T>>>;

template <class Key, class Hash = std::hash<Key>>
using DenseHashSet = google::dense_hash_set<Key, Hash, std::equal_to<Key>, std::allocator<Key>>;

}  // namespace core
}  // namespace quill20
