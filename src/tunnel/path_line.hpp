// What kiv says when a direct path changes, in line mode and in the tunnel alike: "kiv host:
// direct path to ADDR (tag N) (rtt X ms)", "...: path (tag N) unanswered: fell back to the
// relay", "...: no answer to punching (tag N): relayed, trying again in 30 s". A join's lines
// name no tag.
#pragma once

#include <cstddef>

#include "client/events.hpp"

namespace kiv::tunnel {

// Writes the line for a path_direct or path_relayed event of `command` ("kiv host", "kiv
// join") into `out`; false, and nothing written, for any other event.
bool path_line(const char* command, bool host, const client::Event& event, char* out, size_t size);

}  // namespace kiv::tunnel
