// The rules both ends of the tunnel keep about who is who across a relay restart, in one
// place. A relay that restarts forgets every room and tag. The client library gets each end
// back by itself (client::RELAY_TIMEOUT_US); what the tunnel adds is that nobody's sockets
// or senders change hands on the way:
// - kiv host forgets every tag when it loses the relay (ForwardSession), but keeps each
//   kiv join's sockets under the join's identity, which only the join and the host know;
// - a join says hello on every join, and the host's welcome binds its tag to a number
//   (the binding) that every frame carries both ways: a frame of another binding was sent
//   by a join that took up a tag again without knowing it, and is never delivered;
// - the host asks such a tag who it is (WHO_RETRY_US, WHO_TRIES); the join answers with a
//   hello, a plain client does not and is taken for plain;
// - the join asks its host for a welcome (HELLO_RETRY_US, HELLO_TRIES); a host that never
//   answers is plain;
// - the join goes on only with the kiv host that first welcomed it: a welcome that names
//   another host, or no welcome for KNOWN_HOST_HELLO_TRIES hellos once a kiv host answered,
//   stops it (a room's id may pass to someone else while the relay or its host is away). A
//   relay that restarted within a keep-alive shows the join nothing, so a welcomed join says
//   hello again every HOST_CHECK_US.
#pragma once

#include <cstdint>

#include "tunnel/tunnel_frame.hpp"

namespace kiv::tunnel {

// A tag that sends frames without a hello is asked who it is this often, this many times,
// before it is taken for a plain client. The same interval bounds the whos sent to all tags
// without an entry together, so no member can make the host send more than a few a second.
inline constexpr uint64_t WHO_RETRY_US = 300'000;
inline constexpr uint8_t WHO_TRIES = 3;
// A join asks for a welcome this often; a host that has not answered the first few is plain.
inline constexpr uint64_t HELLO_RETRY_US = 300'000;
inline constexpr int HELLO_TRIES = 3;
// As long as a client waits for the relay's answer to a join.
inline constexpr int KNOWN_HOST_HELLO_TRIES =
    int(client::DEFAULT_ANSWER_TIMEOUT_US / HELLO_RETRY_US);
static_assert(KNOWN_HOST_HELLO_TRIES > HELLO_TRIES, "a known host is given longer than a new one");
inline constexpr uint64_t HOST_CHECK_US = 2'000'000;
// When every client entry of kiv host is in use, one quiet this long gives its entry and
// sockets to a newcomer (the quietest first): a member that joins and leaves over and over
// cannot lock newcomers out, and a client that keeps talking keeps its socket.
inline constexpr uint64_t CLIENT_GIVE_WAY_US = 5'000'000;
// Expiry is looked at this often at least, so that entries made since the last look are
// covered; and at most this many sockets are closed in one look, the rest at once after.
inline constexpr uint64_t EXPIRY_LOOK_US = 1'000'000;
inline constexpr int EXPIRY_CLOSES_PER_LOOK = 32;
// 0 is no binding: a client that was never welcomed.
inline constexpr uint16_t NO_BINDING = 0;

static_assert(WHO_RETRY_US * WHO_TRIES < CLIENT_GIVE_WAY_US,
              "a tag being asked who it is is not quiet long enough to give way");
static_assert(CLIENT_GIVE_WAY_US < TUNNEL_IDLE_US, "giving way comes before forgetting");
static_assert(EXPIRY_LOOK_US < TUNNEL_IDLE_US);

}  // namespace kiv::tunnel
