// Reloading in place (SIGHUP, what "systemctl reload" sends): the open key file is read
// again, and a new key replaces the running one without ending a room or refusing an honest
// host. Nothing else the relay runs with can change in place: the limits come from the
// command line and the build, and a new command line takes a restart, which --hand-over
// makes lossless.
#pragma once

#include <cstdint>

#include "relay/args.hpp"
#include "relay/relay.hpp"

namespace kiv {

// Tokens made with a key that a reload replaced stay good this long at most (and never past
// their own expiry), so that hosts holding one can re-open while their lobby learns the new key.
inline constexpr uint64_t REPLACED_KEY_GRACE_SECONDS = 3600;

// Re-reads what `arguments` name and logs one line saying what changed, or why nothing did:
// a key file that cannot be used now is refused and the running key stays.
void reload_settings(const Arguments& arguments, Relay& relay, uint64_t now_seconds);

}  // namespace kiv
