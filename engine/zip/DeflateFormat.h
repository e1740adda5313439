#pragma once

// Constants of the deflate format, for the code that writes it and the code that walks it.

#include <cstdint>

namespace stowkeep::engine::zip::detail {

constexpr unsigned kLengthSymbols = 29;   // the length codes, 257 to 285
constexpr unsigned kDistanceSymbols = 30;
constexpr uint8_t kLengthExtraBits[kLengthSymbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint8_t kDistanceExtraBits[kDistanceSymbols] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,
                                                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block's header gives the code-length code's lengths.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

} // namespace stowkeep::engine::zip::detail
