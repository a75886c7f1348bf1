// What one datagram costs the core, without the kernel: Relay::handle on a forward from a
// client to its host and from a host to a client, with the least state a forward needs (one
// room, one client) and with a full table (256 rooms of 8 clients), where the datagrams
// come either from one client only (the table is full, the traffic is not spread) or from
// all 2048 clients in a shuffled order, so that no lookup is helped by the last. The first
// two compare table sizes with the same cache footprint; the third adds the cache misses of
// traffic spread over the whole table.
// The lookups alone, indexed and scanned, show what the indexes buy; lookups of keys chosen
// to collide show what keying the hash buys.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "relay/relay.hpp"
#include "table_scan.hpp"

namespace kiv {
namespace {

constexpr size_t PAYLOAD = 64;

int fixed_random(void*) {
    return 12345;
}
void discard(void*, const char*) {}

// Every peer on an address of its own, as on a network: the relay limits the rooms and
// lookups of one address.
Peer peer(uint32_t index) {
    return Peer::ipv4(0x0A000001u + index, uint16_t(10000 + index % 50000));
}

struct Pair {
    Peer client;
    Peer host;
    RoomId room_id;
    Tag tag;
};

// A relay with `rooms` rooms of `clients` clients, opened and joined through handle() as
// the wire would do it, and the (client, host) pairs in a shuffled order.
struct Fixture {
    Relay relay{RandomSource{fixed_random, nullptr}, LogSink{discard, nullptr}};
    std::vector<Pair> pairs;
    uint8_t datagram[HEADER_SIZE + PAYLOAD] = {};
    uint32_t now_ms = 1;

    Fixture(int rooms, int clients) {
        uint32_t next_peer = 0;
        for (int r = 0; r < rooms; ++r) {
            Peer host = peer(next_peer++);
            header_write(datagram, MsgType::MSG_OPEN, RoomId(uint32_t(r + 1)));
            relay.handle(datagram, HEADER_SIZE, host, now_ms);
            RoomId room_id = header_room(datagram);
            for (int c = 0; c < clients; ++c) {
                Peer client = peer(next_peer++);
                header_write(datagram, MsgType::MSG_DATA, room_id);
                relay.handle(datagram, sizeof datagram, client, now_ms);
                pairs.push_back({client, host, room_id, header_tag(datagram)});
            }
        }
        std::shuffle(pairs.begin(), pairs.end(), std::mt19937(7));
        // A refused open or join would leave the benchmark timing refusals instead.
        for (const Pair& pair : pairs) {
            if (pair.tag.value == 0 || pair.tag.value > MAX_CLIENTS) {
                fprintf(stderr, "kiv-micro: the fixture's table did not fill\n");
                abort();
            }
        }
    }
};

// One forward per iteration: from a client to its host, or from a host to a client's tag.
template <bool FROM_CLIENT>
void forward(benchmark::State& state) {
    Fixture fixture(int(state.range(0)), int(state.range(1)));
    size_t used = size_t(std::min<int64_t>(state.range(2), int64_t(fixture.pairs.size())));
    size_t next = 0;
    for (auto _ : state) {
        const Pair& pair = fixture.pairs[next];
        next = next + 1 == used ? 0 : next + 1;
        header_write(fixture.datagram, MsgType::MSG_DATA,
                     FROM_CLIENT ? pair.room_id.value : pair.tag.value);
        Outgoing out = fixture.relay.handle(fixture.datagram, sizeof fixture.datagram,
                                            FROM_CLIENT ? pair.client : pair.host, fixture.now_ms);
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
void client_to_host(benchmark::State& state) {
    forward<true>(state);
}
void host_to_client(benchmark::State& state) {
    forward<false>(state);
}

template <bool INDEXED>
void client_lookup(benchmark::State& state) {
    Fixture fixture(MAX_ROOMS, MAX_CLIENTS);
    size_t next = 0;
    for (auto _ : state) {
        const Pair& pair = fixture.pairs[next];
        next = next + 1 == fixture.pairs.size() ? 0 : next + 1;
        Room* room = nullptr;
        ClientSlot* slot = INDEXED
                               ? fixture.relay.table().client_by_addr(pair.client, &room)
                               : scan::client_by_addr(fixture.relay.table(), pair.client, &room);
        benchmark::DoNotOptimize(slot);
    }
}

// Keys chosen offline to share one home cell under the fixed multiplier, as someone who
// picks source addresses and ports could choose them: the index of the whole table's
// clients, filled with them, and a lookup of the last. Keyed with a multiplier the chooser
// did not know, the same keys spread out again.
template <bool KEYED>
void crafted_keys(benchmark::State& state) {
    using ClientIndex = FixedIndex<MAX_ROOMS * MAX_CLIENTS>;
    constexpr int CELL_BITS = __builtin_ctz(ClientIndex::CELLS);
    std::vector<uint64_t> keys;
    for (uint64_t ip = 0x0A000000; keys.size() < size_t(MAX_ROOMS * MAX_CLIENTS); ++ip) {
        for (uint64_t port = 0; port < 65536 && keys.size() < size_t(MAX_ROOMS * MAX_CLIENTS);
             ++port) {
            uint64_t key = ip << 16 | port;
            if ((key * ClientIndex::UNKEYED) >> (64 - CELL_BITS) == 0) keys.push_back(key);
        }
    }
    ClientIndex index = KEYED ? ClientIndex(0x2545F4914F6CDD1Dull) : ClientIndex();
    for (size_t i = 0; i < keys.size(); ++i)
        index.insert(keys[i], uint32_t(i));
    for (auto _ : state)
        benchmark::DoNotOptimize(index.find(keys.back()));
}

void table_sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->ArgNames({"rooms", "clients", "senders"});
    benchmark->Args({1, 1, 1});
    benchmark->Args({MAX_ROOMS, MAX_CLIENTS, 1});
    benchmark->Args({MAX_ROOMS, MAX_CLIENTS, MAX_ROOMS * MAX_CLIENTS});
}
BENCHMARK(client_to_host)->Apply(table_sizes);
BENCHMARK(host_to_client)->Apply(table_sizes);
BENCHMARK(client_lookup<true>)->Name("client_by_addr/indexed/full");
BENCHMARK(client_lookup<false>)->Name("client_by_addr/scan/full");
BENCHMARK(crafted_keys<false>)->Name("client_by_addr/crafted_keys/fixed_multiplier");
BENCHMARK(crafted_keys<true>)->Name("client_by_addr/crafted_keys/keyed");

}  // namespace
}  // namespace kiv

BENCHMARK_MAIN();
