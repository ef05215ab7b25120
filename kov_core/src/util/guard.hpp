#pragma once
// No exception crosses the library boundary: the operations the front end
// calls run their body through this, so that an allocation failure unwinds
// (every owner releasing and wiping on the way) and ends as an Io error.

#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

#include "kov_core/error.hpp"

namespace kov_core::util {

template <class Body>
auto guarded(Body&& body) -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::os(ENOMEM));
  } catch (const std::length_error&) {
    return std::unexpected(Error::os(ENOMEM));
  }
}

}  // namespace kov_core::util
