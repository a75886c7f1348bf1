#include "kiv/direct_link.hpp"

#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "client/kiv_client.hpp"
#include "wire/protocol.hpp"

namespace kiv::cli {
namespace {

// The relay is asked where it sees this end this many times, a second apart; a relay without
// --reflect never answers, and the local address alone is offered.
constexpr int REFLECT_TRIES = 3;
// A join offers its candidates this many times, a second apart, until the host answers; a
// host without --direct shows each offer as a line, so they are few.
constexpr int OFFER_TRIES = 5;
constexpr uint64_t TRY_EVERY_US = 1'000'000;
// The relay forgets a client whose data it has not seen for a minute; while a join's data goes
// directly, it keeps its place (and so its tag) with an empty datagram this often.
constexpr uint64_t PLACE_KEEPALIVE_US = 20'000'000;
static_assert(PLACE_KEEPALIVE_US * 2 < uint64_t(TIMEOUT_MS) * 1000, "one keep-alive may be lost");
// Datagrams moved each way per pump: the loop comes back at once when more wait.
constexpr int PUMP_BATCH = 64;
constexpr size_t BUFFER_BYTES = 2048;

// The address this host sends from towards `relay`: what a peer on the same network reaches.
bool local_address(const Peer& relay, Peer* local) {
    int probe = socket(relay.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    Peer found;
    socklen_t length = Peer::RECEIVE_CAPACITY;
    bool ok = connect(probe, relay.name(), relay.name_length()) == 0 &&
              getsockname(probe, found.receive_name(), &length) == 0;
    close(probe);
    *local = found.unmapped();
    return ok && local->is_set();
}

}  // namespace

bool DirectLink::trying() const {
    bool asking = !reflected_ && reflect_tries_ < REFLECT_TRIES;
    return asking || (!host_ && !answered_ && offers_sent_ < OFFER_TRIES);
}

DirectLink::~DirectLink() {
    if (udp_ >= 0) close(udp_);
    if (inner_ >= 0) close(inner_);
}

int DirectLink::open(const Peer& relay, bool host, const char* command) {
    relay_ = relay;
    host_ = host;
    command_ = command;
    int pair[2];
    udp_ = socket(relay.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (udp_ < 0) return -1;
    Peer bound = relay.family() == AF_INET6 ? Peer::any_ipv6(0) : Peer::any(0);
    socklen_t length = Peer::RECEIVE_CAPACITY;
    if (bind(udp_, bound.name(), bound.name_length()) != 0 ||
        getsockname(udp_, bound.receive_name(), &length) != 0 ||
        socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        return -1;
    }
    inner_ = pair[0];
    Peer local;
    if (local_address(relay, &local)) {
        local.set_port(bound.port());
        own_.add(local);
    }
    // The join's secret is the session's: it goes to the host in the offer, and only the
    // two of them ever hold it.
    client::Secret& secret = sessions_[0].secret;
    if (!host && getrandom(secret.data(), secret.size(), 0) != ssize_t(secret.size())) return -1;
    return pair[1];
}

void DirectLink::watch(Wake& wake, uint64_t now_us) {
    wake.watch(udp_);
    wake.watch(inner_);
    if (trying()) wake.by_us(now_us, next_try_us_);
    if (!host_ && room_ != 0) wake.by_us(now_us, relay_data_us_ + PLACE_KEEPALIVE_US);
    for (Session& session : sessions_) {
        if (session.path.state() == client::PathState::idle) continue;
        uint64_t wait_us = session.path.wait_us(now_us);
        wake.by_us(now_us, now_us + (wait_us < TRY_EVERY_US ? wait_us : TRY_EVERY_US));
    }
}

void DirectLink::pump(uint64_t now_us) {
    from_network(now_us);
    from_library(now_us);
    timers(now_us);
}

void DirectLink::to_relay(const uint8_t* bytes, size_t length) {
    // A datagram lost here is one the relay lost: the library retries what needs an answer.
    (void)sendto(udp_, bytes, length, 0, relay_.name(), relay_.name_length());
}

DirectLink::Session* DirectLink::session_for(Tag tag) {
    if (!host_) return &sessions_[0];
    for (Session& session : sessions_) {
        if (session.tag == tag) return &session;
    }
    return nullptr;
}

void DirectLink::from_library(uint64_t now_us) {
    uint8_t bytes[BUFFER_BYTES];
    for (int i = 0; i < PUMP_BATCH; ++i) {
        ssize_t got = recv(inner_, bytes, sizeof bytes, 0);
        if (got < 0) return;
        size_t length = size_t(got);
        bool to_room = length >= HEADER_SIZE && bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA);
        if (!host_ && to_room) room_ = header_value(bytes);
        // Empty datagrams keep the place in the room: they always go to the relay.
        Session* session =
            to_room && length > HEADER_SIZE ? session_for(header_tag(bytes)) : nullptr;
        if (session != nullptr && session->path.state() != client::PathState::idle) {
            send_direct(*session, bytes, length, now_us);
        } else {
            to_relay(bytes, length);
            if (!host_ && to_room) relay_data_us_ = now_us;
        }
    }
}

void DirectLink::send_direct(Session& session, const uint8_t* datagram, size_t length,
                             uint64_t now_us) {
    client::Route route = session.path.route();
    if (route.relay) to_relay(datagram, length);
    if (route.relay && !host_) relay_data_us_ = now_us;
    if (!route.direct) return;
    uint8_t bytes[BUFFER_BYTES];
    client::path_data_header(bytes);
    size_t payload = length - HEADER_SIZE;
    memcpy(bytes + client::PATH_DATA_HEADER, datagram + HEADER_SIZE, payload);
    (void)sendto(udp_, bytes, client::PATH_DATA_HEADER + payload, 0, route.to.name(),
                 route.to.name_length());
}

void DirectLink::from_network(uint64_t now_us) {
    uint8_t bytes[BUFFER_BYTES];
    for (int i = 0; i < PUMP_BATCH; ++i) {
        Peer from;
        socklen_t from_length = Peer::RECEIVE_CAPACITY;
        ssize_t got = recvfrom(udp_, bytes, sizeof bytes, 0, from.receive_name(), &from_length);
        if (got < 0) return;
        if (from == relay_) {
            from_relay(bytes, size_t(got), now_us);
            continue;
        }
        for (Session& session : sessions_) {
            if (session.path.state() == client::PathState::idle) continue;
            client::PathInput input =
                session.path.receive(bytes, size_t(got), from, now_us, &actions_);
            carry_out(session, now_us);
            if (input.kind == client::PathInput::data) {
                // To the library as the relay would have forwarded it.
                uint8_t datagram[BUFFER_BYTES];
                header_write(datagram, MsgType::MSG_DATA, host_ ? session.tag.value : 0);
                memcpy(datagram + HEADER_SIZE, input.payload, input.length);
                (void)send(inner_, datagram, HEADER_SIZE + input.length, 0);
            }
            if (input.kind == client::PathInput::data || input.kind == client::PathInput::control) {
                break;
            }
        }
    }
}

void DirectLink::from_relay(uint8_t* bytes, size_t length, uint64_t now_us) {
    if (length == REFLECT_SIZE && bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_REFLECTED)) {
        Peer seen =
            Peer::from_address16(bytes + REFLECT_ADDRESS_OFFSET, uint16_t(header_value(bytes)));
        if (!reflected_) own_.add(seen);
        reflected_ = true;
        next_try_us_ = now_us;  // a join offers at once, now that it knows its candidates
        return;
    }
    client::Offer offer;
    if (length > HEADER_SIZE && bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_DATA) &&
        client::offer_read(bytes + HEADER_SIZE, length - HEADER_SIZE, &offer)) {
        on_offer(header_tag(bytes), offer, now_us);
        return;
    }
    (void)send(inner_, bytes, length, 0);
}

void DirectLink::on_offer(Tag tag, const client::Offer& offer, uint64_t now_us) {
    if (!host_) {
        // The host's answer carries the join's own secret back, or it is no answer.
        Session& session = sessions_[0];
        if (offer.secret != session.secret || answered_) return;
        answered_ = true;
        session.path.start(offer.candidates, session.secret, now_us, &actions_);
        return carry_out(session, now_us);
    }
    Session* session = session_for(tag);
    if (session == nullptr || session->secret != offer.secret) {
        // A tag new to the direct path takes a free session, or the first one.
        if (session == nullptr) session = session_for(Tag());
        if (session == nullptr) session = &sessions_[0];
        session->tag = tag;
        session->secret = offer.secret;
        session->path.start(offer.candidates, offer.secret, now_us, &actions_);
        carry_out(*session, now_us);
    }
    send_offer(tag.value, offer.secret);
}

void DirectLink::send_offer(uint32_t value, const client::Secret& secret) {
    uint8_t bytes[HEADER_SIZE + client::MAX_OFFER];
    header_write(bytes, MsgType::MSG_DATA, value);
    size_t length = client::offer_write({secret, own_}, bytes + HEADER_SIZE);
    to_relay(bytes, HEADER_SIZE + length);
}

void DirectLink::carry_out(Session& session, uint64_t now_us) {
    char address[Peer::TEXT_CAPACITY];
    char whose[24] = "";
    if (host_) snprintf(whose, sizeof whose, " (tag %u)", session.tag.value);
    for (size_t i = 0; i < actions_.count; ++i) {
        const client::PathAction& action = actions_.items[i];
        switch (action.kind) {
            case client::PathActionKind::send:
                (void)sendto(udp_, action.bytes, action.length, 0, action.to.name(),
                             action.to.name_length());
                break;
            case client::PathActionKind::went_direct:
                fprintf(stderr, "%s: direct path to %s%s (rtt %.1f ms)\n", command_,
                        action.to.write_text(address, sizeof address), whose,
                        double(action.rtt_us) / 1000.0);
                break;
            case client::PathActionKind::fell_back:
                fprintf(stderr, "%s: path%s unanswered: fell back to the relay\n", command_, whose);
                break;
            case client::PathActionKind::gave_up:
                fprintf(stderr, "%s: no answer to punching%s: relayed, trying again in %d s\n",
                        command_, whose, int(client::PATH_RETRY_US / 1'000'000));
                break;
        }
    }
    actions_.clear();
    (void)now_us;
}

void DirectLink::timers(uint64_t now_us) {
    bool asking = !reflected_ && reflect_tries_ < REFLECT_TRIES;
    if (now_us >= next_try_us_ && trying()) {
        if (asking) {
            uint8_t request[REFLECT_SIZE] = {};
            header_write(request, MsgType::MSG_REFLECT, 0);
            to_relay(request, sizeof request);
            ++reflect_tries_;
        } else if (room_ != 0) {
            // Once the library sent to its room, which comes first at the relay.
            send_offer(room_, sessions_[0].secret);
            ++offers_sent_;
        }
        next_try_us_ = now_us + TRY_EVERY_US;
    }
    if (!host_ && room_ != 0 && now_us - relay_data_us_ >= PLACE_KEEPALIVE_US) {
        uint8_t keepalive[HEADER_SIZE];
        header_write(keepalive, MsgType::MSG_DATA, room_);
        to_relay(keepalive, sizeof keepalive);
        relay_data_us_ = now_us;
    }
    for (Session& session : sessions_) {
        session.path.tick(now_us, &actions_);
        carry_out(session, now_us);
    }
}

}  // namespace kiv::cli
