#include "model_compare.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace kiv::model {

namespace {

using AddressBytes = std::array<uint8_t, sizeof(Peer)>;
AddressBytes bytes_of(const Peer& addr) {
    AddressBytes bytes;
    memcpy(bytes.data(), &addr, sizeof addr);
    return bytes;
}

struct ClientView {
    uint32_t tag;
    AddressBytes addr;
    uint32_t seen;
    bool operator==(const ClientView&) const = default;
};

struct RoomView {
    uint32_t id;
    AddressBytes host;
    uint32_t host_seen;
    uint32_t next_tag;
    std::vector<ClientView> clients;
    bool operator==(const RoomView&) const = default;
};

// Rooms by id, each with its clients by tag.
using TableView = std::vector<RoomView>;

void put_in_order(TableView& view) {
    for (RoomView& room : view) {
        std::sort(room.clients.begin(), room.clients.end(),
                  [](const ClientView& a, const ClientView& b) { return a.tag < b.tag; });
    }
    std::sort(view.begin(), view.end(),
              [](const RoomView& a, const RoomView& b) { return a.id < b.id; });
}

TableView view_of(const RoomTable& table) {
    TableView view;
    for (const kiv::Room& room : table.rooms()) {
        if (room.id.value == 0) continue;
        RoomView& copy = view.emplace_back(
            RoomView{room.id.value, bytes_of(room.host), room.host_seen, room.next_tag.value, {}});
        for (const kiv::ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0) {
                copy.clients.push_back({slot.tag.value, bytes_of(slot.addr), slot.seen});
            }
        }
    }
    put_in_order(view);
    return view;
}

TableView view_of(const RelayModel& relay) {
    TableView view;
    for (const auto& [key, room] : relay.rooms()) {
        RoomView& copy = view.emplace_back(
            RoomView{room.id, bytes_of(room.host), room.host_seen, room.next_tag, {}});
        for (const auto& [peer, client] : room.clients) {
            copy.clients.push_back({client.tag, bytes_of(client.addr), client.seen});
        }
    }
    put_in_order(view);
    return view;
}

std::string describe(const TableView& view) {
    std::string text;
    for (const RoomView& room : view) {
        text += "  room " + std::to_string(room.id) + " host_seen " +
                std::to_string(room.host_seen) + " next_tag " + std::to_string(room.next_tag) +
                " tags";
        for (const ClientView& client : room.clients) {
            text += " " + std::to_string(client.tag) + "@" + std::to_string(client.seen);
        }
        text += "\n";
    }
    return text;
}

}  // namespace

std::string table_difference(const RoomTable& core, const RelayModel& model) {
    TableView core_view = view_of(core);
    TableView model_view = view_of(model);
    if (core_view == model_view) return "";
    return "tables differ\ncore:\n" + describe(core_view) + "model:\n" + describe(model_view);
}

std::string sent_difference(const Outgoing& out, const uint8_t* sent,
                            const std::optional<Sent>& expected) {
    if ((out.length != 0) != expected.has_value()) {
        return out.length != 0 ? "the core sent, the model did not"
                               : "the model sent, the core did not";
    }
    if (!expected) return "";
    if (out.length != expected->bytes.size() ||
        memcmp(sent, expected->bytes.data(), out.length) != 0) {
        return "the datagrams sent differ";
    }
    if (bytes_of(out.to) != bytes_of(expected->to)) return "sent to different addresses";
    return "";
}

std::string lines_difference(std::vector<std::string> core, std::vector<std::string> expected,
                             bool in_any_order) {
    if (in_any_order) {
        std::sort(core.begin(), core.end());
        std::sort(expected.begin(), expected.end());
    }
    if (core == expected) return "";
    std::string text = "log lines differ\ncore:";
    for (const std::string& line : core)
        text += "\n  " + line;
    text += "\nmodel:";
    for (const std::string& line : expected)
        text += "\n  " + line;
    return text;
}

}  // namespace kiv::model
