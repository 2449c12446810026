// The guest code image: the four lookup routines, assembled from lookup_routines.s, and where
// they sit in guest memory.
#pragma once

#include <cstdint>

constexpr uint32_t kGuestCodeAddress = 0x003F7B30;
constexpr uint32_t kGuestCodeImageSize = 2112;
extern const uint8_t kGuestCodeImage[kGuestCodeImageSize];
