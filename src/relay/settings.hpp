// The relay's own settings: how much it holds and how it paces itself. Peers see none of
// these directly; what they may rely on lives with the wire format.
#pragma once

#include <cstdint>

#include "protocol.hpp"

namespace kiv {

inline constexpr int MAX_ROOMS = 256;
// How often silent peers are looked for; a peer is forgotten at most this long after
// TIMEOUT_MS.
inline constexpr uint32_t SWEEP_MS = 1000;
// Asked of the kernel for the socket's receive queue; a smaller grant still works.
inline constexpr int RECEIVE_BUFFER_BYTES = 4194304;

}  // namespace kiv
