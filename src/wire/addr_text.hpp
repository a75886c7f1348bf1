// Peer addresses as text, the way the relay's log and the kiv command show them.
#pragma once

#include "wire/peer.hpp"

namespace kiv {

// "a.b.c.d:port" in one of two static buffers used in turn: a result stays valid until the
// second call after it, so one line can name two peers.
const char* addr_str(const Peer& peer);

}  // namespace kiv
