#include "relay/send_plan.hpp"

#include <cassert>

#include "wire/peer.hpp"

namespace kiv {
namespace {

// Only forwarded data is gathered: it is the traffic that comes in runs, while replies are
// few and go out one send each.
bool is_forward(const uint8_t* datagram) {
    return datagram[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA);
}

constexpr int CELL_BITS = __builtin_ctz(SendPlan::LATEST_CELLS);

uint32_t home_cell(uint64_t hash) {
    return uint32_t(hash >> (64 - CELL_BITS));
}

// The cell that holds the latest send to `to` in this window, or the free cell where it goes.
// Peers that share a hash are told apart by the destination of the send itself. A window has
// at most SEND_WINDOW sends in twice as many cells, so a free one is always found.
SendPlan::LatestSend& latest_send(SendPlan& plan, const Outgoing* outgoing, const Peer& to,
                                  uint64_t hash) {
    for (uint32_t cell = home_cell(hash);; cell = (cell + 1) & (SendPlan::LATEST_CELLS - 1)) {
        SendPlan::LatestSend& entry = plan.latest[cell];
        if (entry.stamp != plan.stamp) return entry;
        if (entry.peer == hash && outgoing[plan.first[entry.group]].to == to) return entry;
    }
}

bool can_join(const SendGroup& group, uint32_t length) {
    return group.segment_size == length && segmented_send_fits(size_t(group.count) + 1, length);
}

}  // namespace

void plan_sends(SendPlan& plan, const Outgoing* outgoing, const uint8_t* const* datagrams,
                int count, bool gather) {
    assert(count >= 0 && count <= SEND_WINDOW);
    if (++plan.stamp == 0) {
        // After 2^32 windows a stale entry's stamp would pass for the current one.
        plan.latest.fill({});
        plan.stamp = 1;
    }
    int groups = 0;
    for (int i = 0; i < count; ++i) {
        const Outgoing& out = outgoing[i];
        if (out.length == 0) continue;
        if (gather) {
            uint64_t peer = out.to.hash(plan.peer_hash);
            SendPlan::LatestSend& latest = latest_send(plan, outgoing, out.to, peer);
            bool forward = is_forward(datagrams[i]);
            // Only the peer's latest send may take the datagram: joining an earlier one would
            // send it before datagrams to that peer handled in between.
            if (latest.stamp == plan.stamp && forward) {
                SendGroup& group = plan.groups[latest.group];
                if (is_forward(datagrams[plan.first[latest.group]]) &&
                    can_join(group, out.length)) {
                    plan.next[plan.last[latest.group]] = uint16_t(i);
                    plan.last[latest.group] = uint16_t(i);
                    ++group.count;
                    continue;
                }
            }
            latest = {peer, plan.stamp, uint32_t(groups)};
        }
        plan.groups[groups] = {0, 1, out.length};
        plan.first[groups] = plan.last[groups] = uint16_t(i);
        ++groups;
    }
    // Each send's answers take consecutive places, in the order they were handled.
    int place = 0;
    for (int g = 0; g < groups; ++g) {
        plan.groups[g].start = uint16_t(place);
        for (int i = plan.first[g];; i = plan.next[i]) {
            plan.order[place++] = uint16_t(i);
            if (i == plan.last[g]) break;
        }
    }
    plan.group_count = groups;
    plan.datagram_count = place;
    assert(plan_is_sound(plan, outgoing, datagrams, count));
}

bool plan_is_sound(const SendPlan& plan, const Outgoing* outgoing, const uint8_t* const* datagrams,
                   int count) {
    if (plan.group_count < 0 || plan.group_count > count) return false;
    std::array<bool, SEND_WINDOW> sent{};
    // Each peer's latest datagram sent so far, in a table of its own: the plan's is what is
    // being checked.
    struct Latest {
        int position;  // of the peer's latest datagram; -1: a free cell
    };
    std::array<Latest, SendPlan::LATEST_CELLS> latest;
    latest.fill({-1});
    int places = 0;
    for (int g = 0; g < plan.group_count; ++g) {
        const SendGroup& group = plan.groups[g];
        if (group.start != places || group.count < 1 || group.count > MAX_SEGMENTS) return false;
        if (places + group.count > count) return false;
        if (group.count > 1 && group.count * size_t(group.segment_size) > MAX_SEGMENTED_BYTES)
            return false;
        const Outgoing& head = outgoing[plan.order[group.start]];
        for (int k = group.start; k < group.start + group.count; ++k) {
            int i = plan.order[k];
            if (i >= count || sent[i] || outgoing[i].length != group.segment_size) return false;
            if (!(outgoing[i].to == head.to)) return false;
            if (group.count > 1 && !is_forward(datagrams[i])) return false;
            sent[i] = true;
            uint32_t cell = home_cell(outgoing[i].to.hash(plan.peer_hash));
            while (latest[cell].position >= 0 && !(outgoing[latest[cell].position].to == head.to))
                cell = (cell + 1) & (SendPlan::LATEST_CELLS - 1);
            if (latest[cell].position >= i) return false;  // out of the order handled
            latest[cell] = {i};
        }
        places += group.count;
    }
    for (int i = 0; i < count; ++i) {
        if (sent[i] != (outgoing[i].length > 0)) return false;
    }
    return places == plan.datagram_count;
}

}  // namespace kiv
