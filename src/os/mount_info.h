// Reading the kernel's mount table text, shared by the platform layers.
// Pure; safe on any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "os/volumes.h"

namespace os {

// "8:17" into its two numbers; false for anything else.
bool ParseDeviceNumbers(std::string_view text, uint32_t* major_out, uint32_t* minor_out);

}  // namespace os
