#pragma once

#include <cstdint>

// The level every trace carries: 1 detail, 2 a notable event, 3 a device or file that
// could not be handled, 4 a failure. Named once so every component speaks the same scale.
namespace Common::TraceLevel {

constexpr int32_t kDetail = 1;
constexpr int32_t kNotable = 2;
constexpr int32_t kWarning = 3;
constexpr int32_t kFailure = 4;

}  // namespace Common::TraceLevel
