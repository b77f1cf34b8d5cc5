#pragma once

#include <functional>

namespace Core {

// A bound callable: a member function with its object, or a closure. Copies share nothing the
// caller has to manage; an empty delegate is false when tested.
template <class Signature>
using Delegate = std::function<Signature>;

}  // namespace Core
