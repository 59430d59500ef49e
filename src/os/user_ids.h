// The numbers that name a user account and a group to the file system, the
// same width on every platform so that the layers above never see the
// system's own types.
#pragma once

#include <cstdint>

namespace os {

using UserId = uint32_t;
using GroupId = uint32_t;

inline constexpr UserId kNoUserId = UINT32_MAX;
inline constexpr GroupId kNoGroupId = UINT32_MAX;

}  // namespace os
