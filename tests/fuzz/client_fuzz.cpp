// The fuzz target for the client library's handling of what it receives. A host, a client
// and a pinger state machine each run over a transport in memory, with fixed first values
// for pings and joins, so that a run depends on its input alone; the input says what
// arrives at which of them, which calls the application makes and how the clock moves. After every
// step each endpoint is drained of events and the stand-in of what the endpoint sent, and both are
// held to the rules below; the library's own asserts are on as well. The first broken rule stops
// the process. libFuzzer calls LLVMFuzzerTestOneInput; replay_main.cpp feeds it the seeds.
//
// Input, byte by byte: one step per byte, its low 3 bits the kind of step:
//   0-2  a datagram for the host, the client or the pinger: a flags byte, then either a
//        header (type, value: 4 bytes) and a payload length byte, or a raw length byte and
//        that many bytes; flag 0x01 gives the header another version, 0x02 makes the
//        payload 1401 bytes, one more than a datagram may carry, 0x04 a host's answer
//        (naming another host for an odd length), 0x08 a client's question, and flag 0x40 sets the
//        value to that of one of the last pings the endpoint sent, minus 0-3, so that joins
//        and probes, whose values no one can guess, can be answered; flag 0x20 delivers it
//        from one of four peer addresses instead of the relay (the next byte says which)
//   3    the clock moves on by the next byte times 500 ms
//   4-7  an application call: send, send_batch, close, leave, start, open or join again, or
//        direct paths on or off at the host and the client (7 with 0x20, 0x40 says on)
//
// With direct paths on, datagrams to peers are the path's own, and data from a peer reaches
// the application only from the address its tag's path went direct to.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client/kiv_client.hpp"
#include "client/memory_transport.hpp"

namespace kiv::fuzz {
namespace {

using client::Event;
using client::EventKind;

[[noreturn]] void fail(const char* endpoint, const char* rule) {
    fprintf(stderr, "client_fuzz: %s: %s\n", endpoint, rule);
    abort();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return position_ >= size_; }
    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= uint32_t(byte()) << (8 * i);
        return value;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

uint32_t fixed_start() {
    return 0x5EED;
}

// One endpoint, over a transport in memory that stands in for the relay.
constexpr size_t SENT_TYPES = size_t(MsgType::MSG_REFLECT) + 1;
constexpr int MOST_PATHS = 16;

Peer peer_address(uint8_t which) {
    return Peer::ipv4(0xC0000201 + (which & 3), 4000);
}

template <class Session>
struct Wired {
    client::InMemory<Session> endpoint;
    const char* name;
    uint32_t last_ping = 0;
    bool direct = false;
    Peer delivered_from;  // this step's datagram came from this peer, not the relay
    // The paths reported direct and not relayed since: whose and to where.
    Tag path_tags[MOST_PATHS];
    Peer path_to[MOST_PATHS];
    int paths = 0;

    template <class... Random>
    explicit Wired(const char* name_in, Random... random) : endpoint(random...), name(name_in) {}

    void deliver(const uint8_t* bytes, size_t length, const Peer& from) {
        // A full queue loses the datagram, as the network may.
        delivered_from = from;
        if (from.is_set()) {
            (void)endpoint.deliver_from(from, bytes, length);
        } else {
            (void)endpoint.deliver(bytes, length);
        }
    }

    void path_event(const Event& event) {
        for (int i = 0; i < paths; ++i) {
            if (path_tags[i] == event.tag) path_tags[i] = path_tags[--paths];
        }
        if (event.kind != EventKind::path_direct) return;
        if (!direct || !event.path_to.is_set()) fail(name, "a path without the setting or address");
        if (paths == MOST_PATHS) fail(name, "more direct paths than a room has");
        path_tags[paths] = event.tag;
        path_to[paths++] = event.path_to;
    }
    // Data from a peer, not the relay, comes only on a path reported direct.
    void check_data_source(Tag tag) const {
        if (!delivered_from.is_set()) return;
        for (int i = 0; i < paths; ++i) {
            if (path_tags[i] == tag && path_to[i] == delivered_from) return;
        }
        fail(name, "a stranger's datagram reached the application");
    }

    // What the endpoint sent since the last call: each a header as the wire defines it, of a
    // type this kind of endpoint sends, and no more than `most` of them.
    void check_sent(const bool* allowed_types, int most) {
        uint8_t datagram[client::MemoryTransport::SLOT];
        int count = 0;
        Peer to;
        if (direct) most += int(client::DirectRoutes::MAX_SENDS);
        for (size_t n; endpoint.take_sent(datagram, &n, &to);) {
            if (++count > most) fail(name, "more datagrams sent than one step allows");
            if (to.is_set()) {
                if (!direct || !client::is_path_datagram(datagram, n) ||
                    n > client::PATH_DATA_HEADER + client::MAX_PAYLOAD) {
                    fail(name, "a datagram to a peer that is not the direct path's");
                }
                continue;
            }
            if (n < HEADER_SIZE || n > MAX_DATAGRAM) fail(name, "a bad length");
            if (!header_has_magic(datagram) || datagram[OFFSET_VERSION] != PROTOCOL_VERSION ||
                datagram[OFFSET_RESERVED] != 0 || datagram[OFFSET_RESERVED + 1] != 0) {
                fail(name, "a malformed header sent");
            }
            uint8_t type = datagram[OFFSET_TYPE];
            if (type >= SENT_TYPES || !allowed_types[type]) {
                fail(name, "a type this endpoint never sends");
            }
            if (type == uint8_t(MsgType::MSG_REFLECT) && !direct) {
                fail(name, "a reflection asked for without direct paths");
            }
            if (type == uint8_t(MsgType::MSG_PING)) last_ping = header_value(datagram);
        }
    }
};

// By type, 0 to MSG_REFLECT: a client echoes a relay's challenge with MSG_JOIN; hosts and
// clients with direct paths on ask for their reflection.
constexpr bool HOST_SENDS[SENT_TYPES] = {false, true,  false, true,  true,  false,
                                         false, false, false, false, false, true};
constexpr bool CLIENT_SENDS[SENT_TYPES] = {false, false, false, true,  false, true,
                                           false, true,  false, false, true,  true};
constexpr bool PINGER_SENDS[SENT_TYPES] = {false, false, false, false, false, false,
                                           false, true,  false, false, false, false};
// Sends one step may cause: a batch call, or a keep-alive plus a retry pair.
constexpr int MOST_SENT_PER_STEP = int(client::SEND_BATCH) + 4;
// Events one drain may give: one per datagram queued (at most the queue) and the timer's.
constexpr int MOST_EVENTS = 64;

void check_host(Wired<client::HostSession>& host, uint64_t now_us) {
    for (int i = 0;; ++i) {
        if (i == MOST_EVENTS) fail(host.name, "events without end");
        Event event = host.endpoint.next_event(now_us);
        switch (event.kind) {
            case EventKind::none:
                host.check_sent(HOST_SENDS, MOST_SENT_PER_STEP);
                return;
            case EventKind::opened:
                if (!event.room.valid() || !(event.room == host.endpoint.room_id()) ||
                    host.endpoint.state() != client::Host::State::open) {
                    fail(host.name, "opened without an open room of that id");
                }
                break;
            case EventKind::data:
                if (!event.tag.valid() || event.length > client::MAX_PAYLOAD ||
                    (event.length > 0 && event.payload == nullptr) ||
                    host.endpoint.state() != client::Host::State::open) {
                    fail(host.name, "data without a tag, too long, or while not open");
                }
                host.check_data_source(event.tag);
                break;
            case EventKind::path_direct:
            case EventKind::path_relayed:
                if (!event.tag.valid()) fail(host.name, "a path without a tag");
                host.path_event(event);
                break;
            case EventKind::client_joined:
            case EventKind::client_left:
                if (!event.tag.valid() || host.endpoint.state() != client::Host::State::open) {
                    fail(host.name, "news of a client without a tag, or while not open");
                }
                break;
            case EventKind::refused:
            case EventKind::timed_out:
                if (host.endpoint.state() != client::Host::State::closed ||
                    event.error == client::Error::none) {
                    fail(host.name, "a refusal or time-out that leaves the room open");
                }
                break;
            case EventKind::lost:
                if (host.endpoint.state() != client::Host::State::reopening ||
                    (event.error != client::Error::no_room &&
                     event.error != client::Error::timed_out)) {
                    fail(host.name, "a lost room the host is not asking for again");
                }
                break;
            case EventKind::joined:
            case EventKind::pong:
                fail(host.name, "an event only a client or pinger reports");
        }
    }
}

void check_client(Wired<client::ClientSession>& joiner, uint64_t now_us) {
    for (int i = 0;; ++i) {
        if (i == MOST_EVENTS) fail(joiner.name, "events without end");
        Event event = joiner.endpoint.next_event(now_us);
        switch (event.kind) {
            case EventKind::none:
                joiner.check_sent(CLIENT_SENDS, MOST_SENT_PER_STEP);
                return;
            case EventKind::joined:
                if (!(event.room == joiner.endpoint.room_id()) || !event.room.valid() ||
                    joiner.endpoint.state() != client::Client::State::joined) {
                    fail(joiner.name, "joined without being in that room");
                }
                break;
            case EventKind::data:
                if (!(event.tag == Tag()) || event.length > client::MAX_PAYLOAD ||
                    joiner.endpoint.state() == client::Client::State::idle) {
                    fail(joiner.name, "data with a tag, too long, or while idle");
                }
                joiner.check_data_source(event.tag);
                break;
            case EventKind::path_direct:
            case EventKind::path_relayed:
                if (event.tag.valid()) fail(joiner.name, "a join's path with a tag");
                joiner.path_event(event);
                break;
            case EventKind::refused:
            case EventKind::timed_out:
                if (joiner.endpoint.state() != client::Client::State::idle) {
                    fail(joiner.name, "a refusal or time-out that leaves the client in");
                }
                break;
            case EventKind::lost:
                if (joiner.endpoint.state() != client::Client::State::rejoining ||
                    (event.error != client::Error::no_room &&
                     event.error != client::Error::timed_out &&
                     event.error != client::Error::no_host)) {
                    fail(joiner.name, "a lost place the client is not joining again");
                }
                break;
            case EventKind::opened:
            case EventKind::pong:
            case EventKind::client_joined:
            case EventKind::client_left:
                fail(joiner.name, "an event only a host or pinger reports");
        }
    }
}

void check_pinger(Wired<client::PingerSession>& pinger, uint64_t now_us, uint64_t probe_start_us) {
    for (int i = 0;; ++i) {
        if (i == MOST_EVENTS) fail(pinger.name, "events without end");
        Event event = pinger.endpoint.next_event(now_us);
        switch (event.kind) {
            case EventKind::none:
                pinger.check_sent(PINGER_SENDS, MOST_SENT_PER_STEP);
                return;
            case EventKind::pong:
                // A pong answers an attempt of the current probe, sent after it started.
                if (event.round_trip_us > now_us - probe_start_us) {
                    fail(pinger.name, "a round trip longer than the probe");
                }
                break;
            case EventKind::refused:
            case EventKind::timed_out:
                break;
            case EventKind::opened:
            case EventKind::joined:
            case EventKind::data:
            case EventKind::client_joined:
            case EventKind::client_left:
            case EventKind::lost:
            case EventKind::path_direct:
            case EventKind::path_relayed:
                fail(pinger.name, "an event only a host or client reports");
        }
    }
}

constexpr uint64_t HOST_IDENTITY = 0xA11CE;

// A datagram as the input describes it, written for `deliver`; *from is where it comes from.
size_t build_datagram(Input& in, uint32_t last_ping, uint8_t* datagram, size_t capacity,
                      Peer* from) {
    uint8_t flags = in.byte();
    *from = (flags & 0x20) ? peer_address(in.byte()) : Peer{};
    if (flags & 0x80) {
        size_t length = in.byte();
        for (size_t i = 0; i < length; ++i)
            datagram[i] = in.byte();
        return length;
    }
    uint8_t type = in.byte();
    uint32_t value = in.u32();
    if (flags & 0x40) value = last_ping - value % 4;
    header_write(datagram, MsgType(type), value);
    if (flags & 0x01) datagram[OFFSET_VERSION] = uint8_t(flags >> 4);
    size_t payload = (flags & 0x02) ? client::MAX_PAYLOAD + 1 : in.byte();
    if (HEADER_SIZE + payload > capacity) payload = capacity - HEADER_SIZE;
    memset(datagram + HEADER_SIZE, 'p', payload);
    // The questions and answers of a client that checks its host, the answer naming the
    // host the fuzz names or another one.
    if (flags & 0x04 && HEADER_SIZE + client::HOST_ANSWER_SIZE <= capacity) {
        client::host_answer_write(HOST_IDENTITY + (payload & 1), datagram + HEADER_SIZE);
        return HEADER_SIZE + client::HOST_ANSWER_SIZE;
    }
    if (flags & 0x08 && HEADER_SIZE + client::HOST_QUESTION_SIZE <= capacity) {
        client::host_question_write(datagram + HEADER_SIZE);
        return HEADER_SIZE + client::HOST_QUESTION_SIZE;
    }
    return HEADER_SIZE + payload;
}

void run(const uint8_t* data, size_t size) {
    Input in(data, size);
    Wired<client::HostSession> host("host");
    Wired<client::ClientSession> joiner("client", fixed_start);
    Wired<client::PingerSession> pinger("pinger", fixed_start);
    uint64_t now_us = 1'000'000'000;
    uint64_t probe_start_us = now_us;
    (void)host.endpoint.open(RoomId(in.u32() % (MAX_ROOM_ID + 2)), now_us);
    host.endpoint.set_identity(HOST_IDENTITY);
    uint32_t join_word = in.u32();
    joiner.endpoint.check_host(join_word >> 31);
    (void)joiner.endpoint.join(RoomId(1 + join_word % MAX_ROOM_ID), now_us);
    (void)pinger.endpoint.start(now_us);

    uint8_t datagram[MAX_DATAGRAM + 64];
    iovec payloads[client::SEND_BATCH + 1];
    for (iovec& payload : payloads)
        payload = {datagram, 3};
    Peer from;
    for (int steps = 0; !in.empty() && steps < 4096; ++steps) {
        uint8_t step = in.byte();
        host.delivered_from = joiner.delivered_from = Peer{};
        switch (step & 7) {
            case 0:
                host.deliver(datagram,
                             build_datagram(in, host.last_ping, datagram, sizeof datagram, &from),
                             from);
                break;
            case 1:
                joiner.deliver(
                    datagram,
                    build_datagram(in, joiner.last_ping, datagram, sizeof datagram, &from), from);
                break;
            case 2:
                // A pinger has no direct paths: it reads its relay's alone.
                pinger.deliver(
                    datagram,
                    build_datagram(in, pinger.last_ping, datagram, sizeof datagram, &from), Peer{});
                break;
            case 3:
                now_us += uint64_t(in.byte()) * 500'000;
                break;
            case 4:
                (void)host.endpoint.send(Tag(in.byte()), datagram, step >> 3, now_us);
                (void)host.endpoint.send_batch(
                    Tag(in.byte()), payloads, size_t(step >> 3) % (client::SEND_BATCH + 2), now_us);
                break;
            case 5:
                (void)joiner.endpoint.send(datagram, step >> 3, now_us);
                (void)joiner.endpoint.send_batch(
                    payloads, size_t(step >> 3) % (client::SEND_BATCH + 2), now_us);
                break;
            case 6:
                if (step & 0x08) (void)host.endpoint.close();
                if (step & 0x10) (void)joiner.endpoint.leave();
                if (step & 0x20) {
                    probe_start_us = now_us;
                    (void)pinger.endpoint.start(now_us,
                                                1'000'000 + uint64_t(step >> 6) * 2'000'000);
                }
                break;
            case 7:
                if (step & 0x08) (void)host.endpoint.open(RoomId(in.u32()), now_us);
                if (step & 0x10) (void)joiner.endpoint.join(RoomId(in.u32()), now_us);
                if (step & 0x20) {
                    bool on = (step & 0x40) != 0;
                    if (host.endpoint.set_direct(on) != client::Error::none ||
                        joiner.endpoint.set_direct(on) != client::Error::none) {
                        fail("host or client", "direct paths refused on a memory transport");
                    }
                    host.direct = joiner.direct = on;
                    if (!on) host.paths = joiner.paths = 0;
                    host.endpoint.set_local(peer_address(0));
                    joiner.endpoint.set_local(peer_address(1));
                }
                break;
        }
        check_host(host, now_us);
        check_client(joiner, now_us);
        check_pinger(pinger, now_us, probe_start_us);
    }
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kiv::fuzz::run(data, size);
    return 0;
}
