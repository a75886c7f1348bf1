// Differential test: the relay core and the reference model are driven by the same seeded
// random sequences of datagrams, clock steps and sweeps, and must agree on every datagram
// sent (bytes and destination), every log line and the whole table after every step.
// A failure names its seed; KIV_MODEL_SEED=<seed> KIV_MODEL_SEQUENCES=1 replays just that one.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "event_input.hpp"
#include "model_compare.hpp"
#include "relay.hpp"
#include "relay_model.hpp"
#include "segments.hpp"
#include "table_checks.hpp"

namespace kiv::test {
namespace {

// Each side draws room ids from its own copy of one script. Three draws in four are tiny, so
// candidate ids repeat and collide with open rooms; the rest reach the whole id range.
class ScriptedDraws {
  public:
    explicit ScriptedDraws(uint64_t seed) : state_(seed) {}
    int next() {
        state_ = state_ * 6364136223846793005u + 1442695040888963407u;
        uint32_t bits = uint32_t(state_ >> 32);
        return (bits & 3) != 0 ? int(bits >> 2 & 3) : int(bits >> 1);
    }
    static int draw(void* self) { return static_cast<ScriptedDraws*>(self)->next(); }

  private:
    uint64_t state_;
};

// How often each outcome turned up over all sequences, so the test shows it went everywhere.
struct Tally {
    std::map<std::string, long> counts;
    void note(const std::string& line) {
        for (const char* kind : {"(re-opened)", "opened by", "joined as", "left", "timed out",
                                 "host closed it", "host silent"}) {
            if (line.find(kind) != std::string::npos) {
                ++counts[kind];
                return;
            }
        }
    }
};

constexpr uint32_t HUGE_LENGTH = 65507;

class Sequence {
  public:
    Sequence(uint64_t seed, Tally& tally)
        : random_(seed),
          core_draws_(seed),
          model_draws_(seed),
          relay_(RandomSource{ScriptedDraws::draw, &core_draws_},
                 LogSink{collect_line, &core_log_}),
          model_([this] { return model_draws_.next(); }),
          tally_(tally) {
        if (pick(4) == 0) now_ms_ = 0u - 1u - pick(120000);  // start near the clock's wrap
    }

    // Runs `steps` steps; returns an empty text, or what differed first.
    std::string run(int steps) {
        for (step_ = 0; step_ < steps; ++step_) {
            std::string fault = one_step();
            if (!fault.empty())
                return "step " + std::to_string(step_) + ", " + what_ + ": " + fault;
        }
        return "";
    }

  private:
    static void collect_line(void* self, const char* line) {
        static_cast<std::vector<std::string>*>(self)->push_back(line);
    }

    uint32_t pick(uint32_t below) {
        return std::uniform_int_distribution<uint32_t>(0, below - 1)(random_);
    }
    bool chance(uint32_t one_in) { return pick(one_in) == 0; }

    Peer some_peer() { return fuzz::peer_address(uint8_t(pick(32))); }

    std::vector<const model::Room*> open_rooms() const {
        std::vector<const model::Room*> rooms;
        for (const auto& [key, room] : model_.rooms())
            rooms.push_back(&room);
        return rooms;
    }
    const model::Room* some_room() {
        auto rooms = open_rooms();
        return rooms.empty() ? nullptr : rooms[pick(uint32_t(rooms.size()))];
    }
    const model::Room* hosted_by(const Peer& peer) const {
        auto found = model_.rooms().find(model::key_of(peer));
        return found == model_.rooms().end() ? nullptr : &found->second;
    }
    const model::Room* joined_by(const Peer& peer) const {
        for (const auto& [key, room] : model_.rooms()) {
            if (room.clients.count(model::key_of(peer))) return &room;
        }
        return nullptr;
    }
    uint32_t unused_id() {
        for (;;) {
            uint32_t id = chance(2) ? 1 + pick(64) : 1 + pick(1u << 25);
            bool used = false;
            for (const model::Room* room : open_rooms())
                used = used || room->id == id;
            if (!used) return id;
        }
    }
    uint32_t out_of_range_id() {
        return chance(2) ? (1u << 25) + 1 : (1u << 25) + 1 + pick(0xFFFFFFFFu - (1u << 25));
    }

    std::vector<uint8_t> message(uint8_t type, uint32_t value, size_t payload = 0) {
        std::vector<uint8_t> bytes(HEADER_SIZE + payload);
        header_write(bytes.data(), MsgType(type), value);
        uint32_t noise = uint32_t(random_());
        for (size_t i = HEADER_SIZE; i < bytes.size(); ++i) {
            noise = noise * 1664525u + 1013904223u;
            bytes[i] = uint8_t(noise >> 24);
        }
        return bytes;
    }

    size_t payload_length() {
        switch (pick(12)) {
            case 0:
                return MAX_DATAGRAM - HEADER_SIZE;
            case 1:
                return MAX_DATAGRAM - HEADER_SIZE + 1;  // one byte too long: dropped
            case 2:
                return MAX_DATAGRAM - HEADER_SIZE - pick(30);
            default:
                return pick(40);
        }
    }

    std::string one_step() {
        if (chance(2000)) return crowd();
        if (chance(100)) return rush();
        if (chance(100)) return near_tag_wrap();
        if (chance(50)) return coalesced_run();
        if (chance(200)) return scan();
        uint32_t roll = pick(1000);
        if (roll < 130) return open();
        if (roll < 420) return client_data();
        if (roll < 590) return host_data();
        if (roll < 630) return send_one("close", some_peer(), message(4, pick(3)));
        if (roll < 690) return send_one("leave", some_peer(), message(5, pick(3)));
        if (roll < 720) return send_one("ping", some_peer(), message(7, uint32_t(random_())));
        if (roll < 800) return garbage();
        if (roll < 920) return clock_step();
        return sweep();
    }

    std::string open() {
        Peer peer = some_peer();
        uint32_t value = 0;
        switch (pick(6)) {
            case 0:
                what_ = "open with 0";
                break;
            case 1: {
                what_ = "open with its own id";
                auto known = last_opened_.find(model::key_of(peer));
                if (const model::Room* room = hosted_by(peer)) {
                    value = room->id;
                } else if (known != last_opened_.end()) {
                    value = known->second;
                }
                break;
            }
            case 2: {
                what_ = "open with a foreign id";
                const model::Room* room = some_room();
                value = room != nullptr ? room->id : 1;
                break;
            }
            case 3:
                what_ = "open with an out-of-range id";
                value = out_of_range_id();
                break;
            default:
                what_ = "open with an unused id";
                value = unused_id();
                break;
        }
        std::string fault = send(peer, message(1, value));
        if (const model::Room* room = hosted_by(peer)) last_opened_[model::key_of(peer)] = room->id;
        return fault;
    }

    std::string client_data() {
        Peer peer = some_peer();
        uint32_t value = 0;
        switch (pick(7)) {
            case 6: {
                what_ = "data to the fullest room";
                const model::Room* fullest = nullptr;
                for (const model::Room* room : open_rooms()) {
                    if (fullest == nullptr || room->clients.size() > fullest->clients.size()) {
                        fullest = room;
                    }
                }
                value = fullest != nullptr ? fullest->id : unused_id();
                break;
            }
            case 0:
            case 1:
            case 2: {
                what_ = "data to its own room";
                const model::Room* room = joined_by(peer);
                if (room == nullptr) room = some_room();  // joins, or is refused if none
                value = room != nullptr ? room->id : unused_id();
                break;
            }
            case 3: {
                what_ = "data to another room";
                const model::Room* room = some_room();
                value = room != nullptr ? room->id : unused_id();
                break;
            }
            case 4:
                what_ = "data to an unknown room";
                value = chance(2) ? unused_id() : out_of_range_id();
                break;
            default:
                what_ = "data to room 0";
                break;
        }
        return send(peer, message(3, value, payload_length()));
    }

    std::string host_data() {
        const model::Room* room = some_room();
        if (room == nullptr) return client_data();
        Peer host = room->host;
        if (chance(4)) host = fuzz::with_other_padding(host);
        uint32_t value = 0;
        if (!room->clients.empty() && !chance(3)) {
            what_ = "host data to a held tag";
            auto client = room->clients.begin();
            std::advance(client, pick(uint32_t(room->clients.size())));
            value = client->second.tag;
        } else {
            what_ = "host data to an unheld tag";
            value = chance(3) ? 0 : room->next_tag + pick(3);
        }
        std::vector<uint8_t> bytes = message(3, value, payload_length());
        if (chance(4)) bytes[OFFSET_RESERVED + pick(2)] = uint8_t(1 + pick(255));
        return send(host, bytes);
    }

    std::string garbage() {
        Peer peer = some_peer();
        std::vector<uint8_t> bytes = message(uint8_t(1 + pick(8)), uint32_t(random_()));
        switch (pick(5)) {
            case 0:
                what_ = "a short datagram";
                bytes.resize(pick(HEADER_SIZE));
                break;
            case 1:
                what_ = "a bad magic";
                bytes[pick(4)] ^= uint8_t(1 + pick(255));
                break;
            case 2:
                what_ = "a bad version";
                bytes[OFFSET_TYPE] = uint8_t(pick(256));
                bytes[OFFSET_VERSION] = uint8_t(chance(2) ? 0 : 2 + pick(254));
                break;
            case 3: {
                what_ = "a type the relay does not act on";
                static constexpr uint8_t IGNORED[] = {0, 2, 6, 8, 9, 255};
                bytes[OFFSET_TYPE] = IGNORED[pick(sizeof IGNORED)];
                break;
            }
            default:
                what_ = "an oversized datagram";
                return send(peer,
                            message(uint8_t(1 + pick(8)), pick(3), HUGE_LENGTH - HEADER_SIZE));
        }
        return send(peer, bytes);
    }

    // A run from one peer as the kernel coalesces it: one segment size, the last segment
    // possibly shorter, mostly data with pings, other types and bad magic among it. The
    // shell's cut must give back exactly these segments, each faring as it would alone.
    std::string coalesced_run() {
        what_ = "a coalesced run";
        static constexpr size_t SIZES[] = {HEADER_SIZE,      40,  76, 100, MAX_DATAGRAM,
                                           MAX_DATAGRAM + 1, 2000};
        Peer peer = some_peer();
        const model::Room* hosted = hosted_by(peer);
        const model::Room* room = joined_by(peer) ? joined_by(peer) : some_room();
        uint32_t value = room != nullptr ? room->id : unused_id();
        if (hosted && !hosted->clients.empty()) value = hosted->clients.begin()->second.tag;
        size_t segment = SIZES[pick(sizeof SIZES / sizeof SIZES[0])];
        size_t count = 2 + pick(12);
        std::vector<uint8_t> run;
        std::vector<std::pair<size_t, size_t>> made;
        for (size_t k = 0; k < count; ++k) {
            uint8_t type = chance(4) ? uint8_t(pick(9)) : uint8_t(MsgType::MSG_DATA);
            std::vector<uint8_t> bytes = message(type, value, segment - HEADER_SIZE);
            if (chance(10)) bytes[pick(4)] ^= 0x20;
            if (k + 1 == count && chance(2)) bytes.resize(1 + pick(uint32_t(segment)));
            made.emplace_back(run.size(), bytes.size());
            run.insert(run.end(), bytes.begin(), bytes.end());
        }
        std::vector<std::pair<size_t, size_t>> cut;
        for_each_segment(run.data(), run.size(), segment, false, [&](uint8_t* at, size_t length) {
            cut.emplace_back(size_t(at - run.data()), length);
        });
        if (cut != made) return "the cut differs from the run's segments";
        for (auto [at, length] : cut) {
            std::string fault =
                send(peer, {run.begin() + long(at), run.begin() + long(at + length)});
            if (!fault.empty()) return fault;
        }
        ++tally_.counts["coalesced run"];
        return "";
    }

    // Nine or more peers send to one room in a row, so it fills up and refuses the next.
    std::string rush() {
        const model::Room* room = some_room();
        if (room == nullptr) return open();
        uint32_t id = room->id;
        for (uint8_t code = uint8_t(pick(16)), sent = 0; sent < 10; ++code, ++sent) {
            what_ = "a rush of clients";
            std::string fault = send(fuzz::peer_address(code % 16), message(3, id, pick(20)));
            if (!fault.empty()) return fault;
        }
        return "";
    }

    // One peer tries ids in a row, as a scanner would, until its address runs out of lookups;
    // an open room's id among them is a join, or a drop once the budget is spent.
    std::string scan() {
        Peer peer = some_peer();
        const model::Room* room = some_room();
        int tries = int(KIV_ROOM_MISS_BURST) + 2 + int(pick(4));
        for (int i = 0; i < tries; ++i) {
            uint32_t id = room != nullptr && chance(8) ? room->id : unused_id();
            std::string fault = send_one("a scan", peer, message(chance(16) ? 1 : 3, id));
            if (!fault.empty()) return fault;
            room = some_room();
        }
        return "";
    }

    // Both sides' room jumps to a next_tag just short of the wrap (only next_tag may be set
    // from outside the core's handlers), so that new tags wrap and must skip held ones.
    std::string near_tag_wrap() {
        what_ = "a room near the tag wrap";
        const model::Room* room = some_room();
        if (room == nullptr) return "";
        uint32_t next_tag = MAX_TAG - pick(4);
        Room* core_room = relay_.table().room_by_host(room->host);
        if (core_room == nullptr) return "the core lost a room the model has";
        core_room->next_tag = Tag(next_tag);
        model_.set_next_tag(model::key_of(room->host), next_tag);
        return rush();
    }

    // Enough hosts to fill the table. The table is compared once, after the whole crowd.
    std::string crowd() {
        what_ = "a crowd of hosts";
        int count = 250 + int(pick(10));
        for (int i = 0; i < count; ++i) {
            Peer host = Peer::ipv4(0x0A000000u + uint32_t(i), 50000);
            std::string fault = send(host, message(1, 0), false);
            if (!fault.empty()) return fault;
        }
        return compare_tables();
    }

    std::string send_one(const char* what, const Peer& peer, std::vector<uint8_t> bytes) {
        what_ = what;
        return send(peer, std::move(bytes));
    }

    std::string clock_step() {
        static constexpr uint32_t STEPS[] = {0, 1, TIMEOUT_MS - 1, TIMEOUT_MS, TIMEOUT_MS + 1};
        uint32_t choice = pick(8);
        if (choice < 5) {
            now_ms_ += STEPS[choice];
        } else if (choice < 7) {
            now_ms_ += pick(2 * TIMEOUT_MS);
        } else {
            now_ms_ = 0u - 1u - pick(2 * TIMEOUT_MS);  // just before the wrap
        }
        what_ = "a clock step";
        return "";
    }

    std::string sweep() {
        what_ = "a sweep";
        size_t core_before = core_log_.size();
        size_t model_before = model_.log().size();
        relay_.sweep(now_ms_);
        model_.sweep(now_ms_);
        std::vector<std::string> core_lines(core_log_.begin() + long(core_before), core_log_.end());
        std::vector<std::string> model_lines(model_.log().begin() + long(model_before),
                                             model_.log().end());
        std::string difference = model::lines_difference(core_lines, model_lines, true);
        if (!difference.empty()) return difference;
        for (const std::string& line : core_lines)
            tally_.note(line);
        if (const char* fault = check::sweep_fault(relay_.table(), now_ms_)) return fault;
        return compare_tables();
    }

    std::string send(const Peer& peer, std::vector<uint8_t> bytes,
                     bool then_compare_tables = true) {
        size_t length = bytes.size();
        size_t kept = std::min(length, MAX_DATAGRAM + 1);
        bytes.resize(kept);
        std::array<uint8_t, MAX_DATAGRAM + 1> buffer{};
        std::copy(bytes.begin(), bytes.end(), buffer.begin());

        size_t core_before = core_log_.size();
        size_t model_before = model_.log().size();
        uint64_t throttled_before = relay_.counters().dropped_throttled;
        Outgoing out = relay_.handle(buffer.data(), length, peer, now_ms_);
        std::optional<model::Sent> expected = model_.receive(bytes, length, peer, now_ms_);

        std::string difference = model::sent_difference(out, buffer.data(), expected);
        if (!difference.empty()) return difference;
        if (relay_.counters().dropped_throttled != model_.throttled()) {
            return "throttled " + std::to_string(relay_.counters().dropped_throttled) +
                   " datagrams, model " + std::to_string(model_.throttled());
        }
        if (relay_.counters().dropped_throttled > throttled_before) ++tally_.counts["throttled"];
        if (expected && expected->bytes[OFFSET_TYPE] == uint8_t(MsgType::MSG_ERROR)) {
            ++tally_.counts["error " + std::to_string(header_value(expected->bytes.data()))];
        }
        check::Arrival arrival{bytes.data(), length, peer};
        if (const char* fault =
                check::outgoing_fault(arrival, buffer.data(), out, relay_.table())) {
            return fault;
        }
        std::vector<std::string> core_lines(core_log_.begin() + long(core_before), core_log_.end());
        std::vector<std::string> model_lines(model_.log().begin() + long(model_before),
                                             model_.log().end());
        difference = model::lines_difference(core_lines, model_lines, false);
        if (!difference.empty()) return difference;
        for (const std::string& line : core_lines)
            tally_.note(line);
        return then_compare_tables ? compare_tables() : "";
    }

    std::string compare_tables() {
        if (const char* fault = check::table_fault(relay_.table())) return fault;
        return model::table_difference(relay_.table(), model_);
    }

    std::mt19937_64 random_;
    ScriptedDraws core_draws_;
    ScriptedDraws model_draws_;
    std::vector<std::string> core_log_;
    Relay relay_;
    model::RelayModel model_;
    Tally& tally_;
    std::map<model::PeerKey, uint32_t> last_opened_;
    uint32_t now_ms_ = 0;
    int step_ = 0;
    std::string what_;
};

uint64_t setting(const char* name, uint64_t fallback) {
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? strtoull(text, nullptr, 10) : fallback;
}

TEST(ModelDifferential, CoreAndModelAgreeOnRandomSequences) {
    const uint64_t first_seed = setting("KIV_MODEL_SEED", 1);
    const uint64_t sequences =
        setting("KIV_MODEL_SEQUENCES", setting("KIV_MODEL_DEFAULT_SEQUENCES", 2000));
    constexpr int STEPS = 200;
    Tally tally;
    for (uint64_t seed = first_seed; seed < first_seed + sequences; ++seed) {
        auto sequence = std::make_unique<Sequence>(seed, tally);
        std::string fault = sequence->run(STEPS);
        ASSERT_EQ(fault, "") << "seed " << seed << " (rerun: KIV_MODEL_SEED=" << seed
                             << " KIV_MODEL_SEQUENCES=1)";
    }
    std::string seen;
    for (const auto& [kind, count] : tally.counts)
        seen += " " + kind + "=" + std::to_string(count);
    printf("%llu sequences of %d steps:%s\n", (unsigned long long)sequences, STEPS, seen.c_str());
    // The sequences must reach every outcome, or agreeing would prove little.
    for (const char* kind : {"(re-opened)", "opened by", "joined as", "left", "timed out",
                             "host closed it", "host silent", "error 1", "error 2", "error 3",
                             "error 4", "coalesced run", "throttled"}) {
        EXPECT_GT(tally.counts[kind], 0) << kind;
    }
}

}  // namespace
}  // namespace kiv::test
