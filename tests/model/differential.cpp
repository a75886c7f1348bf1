// The differential driver: the relay core and the reference model receive the same events
// (see event_input.hpp) and must agree on every datagram sent, every log line, every draw
// and the whole table, while the core keeps its own rules (table_checks.hpp).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "differential.hpp"

#include "core_doubles.hpp"
#include "event_input.hpp"
#include "model_compare.hpp"
#include "net/segments.hpp"
#include "relay/build_limits.hpp"
#include "relay/relay.hpp"
#include "relay_model.hpp"
#include "table_checks.hpp"

namespace kiv::fuzz {
namespace {

// The first fault ends the run; run() turns it into the text it returns.
struct Fault {
    std::string text;
};

[[noreturn]] void fail(const char* event, const char* fault) {
    throw Fault{std::string("after ") + event + ": " + fault};
}

void fail_if(const char* event, const std::string& difference) {
    if (!difference.empty()) fail(event, difference.c_str());
}

// A datagram of `length` bytes as the shell hands it over: only the bytes the relay keeps
// exist, in a buffer of exactly that size, so reading past them is caught by the sanitizer.
struct Datagram {
    explicit Datagram(size_t length_in)
        : length(length_in),
          kept(length_in < MAX_DATAGRAM + 1 ? length_in : MAX_DATAGRAM + 1),
          bytes(new uint8_t[kept]()),
          before(new uint8_t[kept]()) {}
    size_t length;
    size_t kept;
    std::unique_ptr<uint8_t[]> bytes;
    std::unique_ptr<uint8_t[]> before;
};

uint32_t open_room_id(const RoomTable& table, uint8_t pick) {
    uint32_t ids[MAX_ROOMS];
    int count = 0;
    for (const Room& room : table.rooms()) {
        if (room.id.value != 0) ids[count++] = room.id.value;
    }
    return count == 0 ? pick : ids[pick % count];
}

uint32_t held_tag(const RoomTable& table, uint8_t pick) {
    uint32_t tags[MAX_ROOMS * MAX_CLIENTS];
    int count = 0;
    for (const Room& room : table.rooms()) {
        for (const ClientSlot& slot : room.clients) {
            if (slot.tag.value != 0) tags[count++] = slot.tag.value;
        }
    }
    return count == 0 ? pick : tags[pick % count];
}

// Values that mean something to the relay turn up far more often than 32 random bits would.
uint32_t header_value_for(InputReader& in, const RoomTable& table) {
    static constexpr uint32_t EDGES[] = {
        0, 1, MAX_TAG, MAX_TAG + 1, MAX_ROOM_ID, MAX_ROOM_ID + 1, 0xFFFFFFFF};
    switch (in.byte() % 5) {
        case 0:
            return in.le32();
        case 1:
            return open_room_id(table, in.byte());
        case 2:
            return in.byte();
        case 3:
            return EDGES[in.byte() % (sizeof EDGES / sizeof EDGES[0])];
        default:
            return held_tag(table, in.byte());
    }
}

size_t payload_length_for(uint8_t code) {
    static constexpr size_t EDGES[] = {MAX_DATAGRAM - HEADER_SIZE - 1, MAX_DATAGRAM - HEADER_SIZE,
                                       MAX_DATAGRAM - HEADER_SIZE + 1, 2000, 65507 - HEADER_SIZE};
    constexpr size_t FIRST_EDGE = 256 - sizeof EDGES / sizeof EDGES[0];
    return code < FIRST_EDGE ? code : EDGES[code - FIRST_EDGE];
}

class Session {
  public:
    Session(const uint8_t* data, size_t size, Outcomes* outcomes, bool validate_joins)
        : in_(data, size),
          relay_(RandomSource{core_draw, this}, lines_.sink()),
          model_([this] { return model_draw(); }),
          outcomes_(outcomes) {
        // The model knows the per-address limits; the others have tests of their own.
        relay_.set_limits(LimitSwitches::per_address_only());
        if (validate_joins) {
            relay_.validate_joins(&COOKIE_KEY);
            model_.validate_joins(&COOKIE_KEY);
        }
        relay_.set_reflect(true);
        model_.set_reflect(true);
    }

    void run() {
        run_events();
        fail_if("the last event", model::table_difference(relay_.table(), model_));
    }

  private:
    void run_events() {
        while (!in_.done()) {
            uint8_t op = in_.byte();
            switch (op % 8) {
                case 2:
                    if (op & 8) {
                        coalesced_run();
                    } else {
                        built_datagram();
                    }
                    break;
                case 3:
                    raw_datagram();
                    break;
                case 4:
                    clock_step();
                    break;
                case 5:
                    sweep();
                    break;
                case 6:
                    clock_step();
                    sweep();
                    break;
                case 7:
                    if (op & 8) {
                        burst();
                    } else {
                        crowd();
                    }
                    break;
                default:
                    built_datagram();
                    break;
            }
        }
    }

    // The core draws from the input; the model is handed the very values the core drew, so
    // the two choose the same ids exactly when they draw the same number of times.
    static int core_draw(void* self) {
        auto* session = static_cast<Session*>(self);
        session->draws_.push_back(session->in_.draw());
        return session->draws_.back();
    }
    int model_draw() {
        if (model_draws_ < draws_.size()) return draws_[model_draws_++];
        ++model_draws_;
        return int(0x40000000 + model_draws_);  // distinct values, so the model's search ends
    }
    void start_event() {
        lines_.take();
        draws_.clear();
        model_draws_ = 0;
        model_lines_ = model_.log().size();
    }
    // Compares what the core and the model logged and drew during one event.
    void compare_event(const char* event, bool lines_in_any_order) {
        std::vector<std::string> expected(model_.log().begin() + long(model_lines_),
                                          model_.log().end());
        // Every line must fit the core's line buffer uncut.
        for (const std::string& line : lines_.lines()) {
            if (line.empty() || line.size() >= 191) fail(event, "a log line empty or cut");
        }
        fail_if(event, model::lines_difference(lines_.lines(), expected, lines_in_any_order));
        if (model_draws_ != draws_.size()) fail(event, "the core and the model drew differently");
        for (const std::string& line : lines_.lines())
            note_line(line);
    }

    void note(const std::string& outcome) {
        if (outcomes_ != nullptr) ++(*outcomes_)[outcome];
    }
    void note_line(const std::string& line) {
        for (const char* kind : {"(re-opened)", "opened by", "joined as", "left", "timed out",
                                 "host closed it", "host silent"}) {
            if (line.find(kind) != std::string::npos) return note(kind);
        }
    }

    void built_datagram() {
        Peer source = peer_address(in_.byte());
        uint8_t type = in_.byte();
        uint8_t version = in_.byte();
        uint8_t flags = in_.byte();
        uint32_t value = header_value_for(in_, relay_.table());
        size_t payload = payload_length_for(in_.byte());
        uint8_t pattern = in_.byte();

        Datagram datagram(HEADER_SIZE + payload);
        uint8_t* bytes = datagram.bytes.get();
        header_write(bytes, MsgType(type < 0x80 ? type % 13 : type), value);
        if (version >= 0x80) bytes[OFFSET_VERSION] = version & 0x7F;
        if (flags & 1) bytes[flags >> 6] ^= flags;  // a damaged magic
        if (flags & 2) bytes[OFFSET_RESERVED + (flags >> 7)] = flags;
        for (size_t i = HEADER_SIZE; i < datagram.kept; ++i)
            bytes[i] = uint8_t(pattern + i * 31);
        deliver(datagram, source);
    }

    // A run from one source as the shell receives it coalesced. The shell's cut must give
    // back exactly the segments the run was made of; each then goes through the core and the
    // model as a datagram of its own.
    void coalesced_run() {
        static constexpr size_t SIZES[] = {HEADER_SIZE,  HEADER_SIZE + 1,  76,   100,
                                           MAX_DATAGRAM, MAX_DATAGRAM + 1, 1500, 2000};
        Peer source = peer_address(in_.byte());
        uint8_t shape = in_.byte();
        size_t segment = SIZES[shape % 8];
        size_t count = 1 + (shape >> 3) % 16;
        size_t last = segment - in_.byte() % segment;
        std::vector<uint8_t> run((count - 1) * segment + last);
        std::vector<std::pair<size_t, size_t>> made;
        for (size_t k = 0; k < count; ++k) {
            made.emplace_back(k * segment, k + 1 < count ? segment : last);
            uint8_t type = in_.byte();
            uint8_t version = in_.byte();
            uint8_t flags = in_.byte();
            uint8_t header[HEADER_SIZE];
            header_write(header, MsgType(type % 10), header_value_for(in_, relay_.table()));
            if (version >= 0x80) header[OFFSET_VERSION] = version & 0x7F;
            if (flags & 1) header[flags >> 6] ^= flags;
            uint8_t pattern = in_.byte();
            uint8_t* bytes = run.data() + made.back().first;
            for (size_t i = 0; i < made.back().second; ++i)
                bytes[i] = i < HEADER_SIZE ? header[i] : uint8_t(pattern + i * 31);
        }
        std::vector<std::pair<size_t, size_t>> cut;
        for_each_segment(run.data(), run.size(), segment, false, [&](uint8_t* at, size_t length) {
            cut.emplace_back(size_t(at - run.data()), length);
        });
        if (cut != made) fail("a coalesced run", "the cut differs from the run's segments");
        for (auto [offset, length] : cut) {
            Datagram datagram(length);
            memcpy(datagram.bytes.get(), run.data() + offset, datagram.kept);
            deliver(datagram, source);
        }
        note("coalesced run");
    }

    // A burst from one source: a scan of ids, as a scanner would try them, until its address
    // runs out of lookups; a rush of clients that fills a room and is refused; or a room
    // whose next tag is just short of the wrap (only next_tag may be set from outside the
    // handlers), so that the rush's tags wrap and must skip held ones.
    void burst() {
        uint8_t kind = in_.byte();
        if (kind % 3 == 0) {
            Peer source = peer_address(in_.byte());
            int tries = int(KIV_ROOM_MISS_BURST) + 2 + kind % 4;
            for (int i = 0; i < tries; ++i) {
                Datagram datagram(HEADER_SIZE);
                MsgType type = i % 16 == 15 ? MsgType::MSG_OPEN : MsgType::MSG_DATA;
                header_write(datagram.bytes.get(), type, header_value_for(in_, relay_.table()));
                deliver(datagram, source);
            }
            return;
        }
        uint32_t room_id = open_room_id(relay_.table(), in_.byte());
        if (kind % 3 == 2) {
            Room* room = relay_.table().room_by_id(RoomId(room_id));
            if (room == nullptr) return;
            uint32_t next_tag = MAX_TAG - in_.byte() % 4;
            room->next_tag = Tag(next_tag);
            model_.set_next_tag(model::key_of(room->host), next_tag);
        }
        for (uint8_t code = in_.byte(), sent = 0; sent < 10; ++code, ++sent) {
            Datagram datagram(HEADER_SIZE + sent);
            header_write(datagram.bytes.get(), MsgType::MSG_DATA, room_id);
            deliver(datagram, peer_address(code % 16));
        }
    }

    void raw_datagram() {
        Peer source = peer_address(in_.byte());
        Datagram datagram(in_.le16() % 65508);
        in_.bytes(datagram.bytes.get(), datagram.kept);
        deliver(datagram, source);
    }

    // Opens rooms from up to 265 more peers, so that a full table is within reach. The whole
    // crowd counts as one event: the table is checked once, after it, which keeps inputs fast.
    void crowd() {
        uint8_t code = in_.byte();
        int count = code < 0xF0 ? code : 250 + (code - 0xF0);  // the top codes fill the table
        for (int i = 0; i < count; ++i) {
            Peer source = Peer::ipv4(0x0A000000u + uint32_t(i), 50000);
            Datagram datagram(HEADER_SIZE);
            header_write(datagram.bytes.get(), MsgType::MSG_OPEN, 0);
            deliver(datagram, source, false);
        }
        if (const char* fault = check::table_fault(relay_.table())) fail("a crowd", fault);
        fail_if("a crowd", model::table_difference(relay_.table(), model_));
    }

    void deliver(Datagram& datagram, const Peer& source, bool check_table = true) {
        memcpy(datagram.before.get(), datagram.bytes.get(), datagram.kept);
        start_event();
        uint64_t throttled_before = relay_.counters().dropped_throttled;
        Outgoing out = relay_.handle(datagram.bytes.get(), datagram.length, source, now_ms_);
        std::vector<uint8_t> kept(datagram.before.get(), datagram.before.get() + datagram.kept);
        std::optional<model::Sent> expected =
            model_.receive(kept, datagram.length, source, now_ms_);
        fail_if("a datagram", model::sent_difference(out, datagram.bytes.get(), expected));
        if (relay_.counters().dropped_throttled != model_.throttled()) {
            fail("a datagram", "the core and the model throttled differently");
        }
        if (relay_.counters().dropped_throttled > throttled_before) note("throttled");
        if (expected && expected->bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR)) {
            note("error " + std::to_string(header_value(expected->bytes.data())));
        }
        if (expected && expected->bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_REFLECTED)) {
            note("reflected");
        }
        compare_event("a datagram", false);
        check::Arrival arrival{datagram.before.get(), datagram.length, source};
        if (const char* fault =
                check::outgoing_fault(arrival, datagram.bytes.get(), out, relay_.table())) {
            fail("a datagram", fault);
        }
        if (lines_.lines().size() > 1) fail("a datagram", "more than one log line");
        if (!check_table) return;
        if (const char* fault = check::table_fault(relay_.table())) fail("a datagram", fault);
        fail_if("a datagram", model::table_difference(relay_.table(), model_));
        if (out.length != 0 && datagram.bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_CHALLENGE)) {
            echo(header_value(datagram.bytes.get()), header_room(datagram.before.get()), source);
        }
    }

    // Every other challenge is echoed at once by the peer it went to, as a client would;
    // the rest stay unanswered, as a forged source's would.
    void echo(uint32_t cookie, RoomId room, const Peer& source) {
        note("challenged");
        if (++challenges_ % 2 == 0) return;
        Datagram datagram(HEADER_SIZE + JOIN_COOKIE_BYTES);
        header_write(datagram.bytes.get(), MsgType::MSG_JOIN, room);
        store_le32(datagram.bytes.get() + HEADER_SIZE, cookie);
        deliver(datagram, source);
    }

    void clock_step() {
        static constexpr uint32_t STEPS[] = {0, 1, TIMEOUT_MS - 1, TIMEOUT_MS, TIMEOUT_MS + 1};
        uint8_t code = in_.byte();
        if (code % 6 < 5) {
            now_ms_ += STEPS[code % 6];
        } else {
            // Just short of the wrap of the millisecond clock, so later steps cross it.
            now_ms_ = 0u - 1u - uint32_t(code) * 250u;
        }
    }

    void sweep() {
        start_event();
        relay_.sweep(now_ms_);
        model_.sweep(now_ms_);
        compare_event("a sweep", true);
        fail_if("a sweep", model::table_difference(relay_.table(), model_));
        if (const char* fault = check::table_fault(relay_.table())) fail("a sweep", fault);
        if (const char* fault = check::sweep_fault(relay_.table(), now_ms_)) fail("a sweep", fault);
    }

    InputReader in_;
    test::LogCollector lines_;
    std::vector<int> draws_;  // the core's draws during the current event
    size_t model_draws_ = 0;
    size_t model_lines_ = 0;
    Relay relay_;
    model::RelayModel model_;
    Outcomes* outcomes_;
    uint32_t now_ms_ = 0;
    uint64_t challenges_ = 0;
    static constexpr JoinCookieKey COOKIE_KEY{{0x4B, 0x49, 0x56}};
};

}  // namespace

std::string differential_run(const uint8_t* data, size_t size, Outcomes* outcomes) {
    // Each input runs twice: as a relay runs by default, and validating joins.
    for (bool validate_joins : {false, true}) {
        if (validate_joins && !join_cookie_supported()) break;
        // The table is large; a fresh one per input keeps inputs independent.
        auto session = std::make_unique<Session>(data, size, outcomes, validate_joins);
        try {
            session->run();
        } catch (const Fault& fault) {
            return (validate_joins ? "validating joins, " : "") + fault.text;
        }
    }
    return "";
}

}  // namespace kiv::fuzz
