// Policies of grid functions: empty tags read at compile time.
#pragma once

namespace quill20 {
namespace is {

// Writes store values.
struct Writable {
  static constexpr bool writable = true;
};

// Every write fails; the values are computed or fixed.
struct Const {
  static constexpr bool writable = false;
};

}  // namespace is
}  // namespace quill20
