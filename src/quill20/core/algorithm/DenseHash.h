// Google's dense hash tables on std::allocator. sparsehash's default allocator hands a failed malloc on
// as a null table, which the next insert writes through; std::allocator throws std::bad_alloc, which
// the bindings raise as MemoryError. Its tables grow by copying anyway, so nothing is lost by going
// without realloc.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <sparsehash/dense_hash_map>
#include <sparsehash/dense_hash_set>

namespace quill20 {
namespace core {

// Integers through splitmix64's finaliser. The tables probe from the hash's low bits, and std::hash
// of an integer is the integer itself: keys sharing their low bits (labels that are multiples of
// 2^20, ids shifted into a high word) all fell into one probe chain, and 200,000 of them took 8 s
// to insert rather than milliseconds.
struct MixedIntegerHash {
  template <class Key>
  std::size_t operator()(Key p_Key) const noexcept
  {
    std::uint64_t x = static_cast<std::uint64_t>(p_Key);
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return static_cast<std::size_t>(x ^ (x >> 31));
  }
};

template <class Key>
using DefaultHash = std::conditional_t<std::is_integral<Key>::value, MixedIntegerHash, std::hash<Key>>;

template <class Key, class T, class Hash = DefaultHash<Key>>
using DenseHashMap = google::dense_hash_map<Key, T, Hash, std::equal_to<Key>, std::allocator<std::pair<const Key, T>>>;

template <class Key, class Hash = DefaultHash<Key>>
using DenseHashSet = google::dense_hash_set<Key, Hash, std::equal_to<Key>, std::allocator<Key>>;

}  // namespace core
}  // namespace quill20
