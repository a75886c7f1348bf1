// Steps the end-to-end tests repeat: opening a room, joining it, and proving that the relay
// sent nothing. Each step checks what the relay answered and logged, so a test reads as the
// exchange it drives.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "relay_process.hpp"
#include "wire/protocol.hpp"

namespace kiv::test {

// "4B 49 56 52 ...", the way the wire table writes datagrams.
std::string to_hex(const Bytes& datagram);
// The next datagram `peer` receives in hex, or "<nothing>" if none came in time.
std::string receive_hex(const Peer& peer, std::chrono::milliseconds limit = WAIT);
// The error reply a refused datagram gets, in hex.
std::string error_hex(ErrorCode code);

// The 5-character code the log shows for a room id: id - 1 in base 32, five digits.
std::string code_of(uint32_t id);
// A peer's address as the log shows it.
std::string addr_of(const Peer& peer);

// The next log line without its stamp, or "<no line>" if none came in time.
std::string next_message(RelayProcess& relay);

// Sends a ping from `peer` and succeeds when the very next datagram the peer receives is its
// pong. Sent right after a datagram that must go unanswered (or a forward that must not
// reach `peer`), it proves nothing came: the relay handles datagrams in arrival order.
::testing::AssertionResult next_is_pong(const RelayProcess& relay, const Peer& peer);

// Sends MSG_OPEN from `host` asking for `requested`, checks the reply and the log line, and
// returns the room id (0 on failure). The line ends in " (re-opened)" exactly when the host
// got the id it asked for.
uint32_t open_room(RelayProcess& relay, const Peer& host, uint32_t requested = 0);

// `client` sends MSG_DATA with `payload` to room `id`, which it has not joined: checks the join
// line and that the host receives the datagram tagged `tag`.
void join(RelayProcess& relay, const Peer& host, const Peer& client, uint32_t id, uint32_t tag,
          int count, const Bytes& payload = {'h', 'i'});

}  // namespace kiv::test
