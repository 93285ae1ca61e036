// The import-time check of NumPy's C interface.
#pragma once

namespace vireo20 {
namespace ups {

// Binds NumPy's C-API table and checks that its ABI, feature version and byte order match what this
// module was built for. On failure the cause is printed to standard error and an ImportError is left
// pending; never throws.
bool check_numpy_interface() noexcept;

}  // namespace ups
}  // namespace vireo20
