// The method table of both service classes.
#pragma once

#include <span>

#include "base/method.hpp"

namespace cnc {

// Every method of both classes, each class's methods in definition order.
extern const std::span<const MethodSpec> kMethods;

}  // namespace cnc
