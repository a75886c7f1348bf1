// Holding the relay core to the reference model: the differences that matter between what
// each sent, logged and holds, as text for a failure message (empty when they agree). Used
// by the differential test and by the fuzz target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "relay/relay.hpp"
#include "relay_model.hpp"

namespace kiv::model {

// The tables agree when they hold the same rooms (id, host address as stored, host_seen,
// next_tag) with the same clients (tag, address as stored, seen). Slot positions are the
// core's business; the model has none.
std::string table_difference(const RoomTable& core, const RelayModel& model);

// `sent` is the core's buffer after handle() returned `out`.
std::string sent_difference(const Outgoing& out, const uint8_t* sent,
                            const std::optional<Sent>& expected);

// Lines of one sweep may come in any order: the core writes them in table order and the
// model in key order, and that order carries no meaning.
std::string lines_difference(std::vector<std::string> core, std::vector<std::string> expected,
                             bool in_any_order);

}  // namespace kiv::model
