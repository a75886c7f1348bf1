#include "relay/rooms.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core_doubles.hpp"
#include "ipv4.hpp"

namespace kiv {
namespace {

using test::make_addr;
using test::ScriptedRandom;

// The table checks its own preconditions; every test build must keep those checks, or the
// tests and the fuzzer would pass over the faults they exist to catch.
TEST(RoomTableDeathTest, AssertsAreCompiledIn) {
    RoomTable table;
    EXPECT_DEATH(table.room_open(*table.free_room(), RoomId(0), make_addr("192.0.2.1", 1), 0),
                 "id.valid()");
}

TEST(ChooseId, FreeRequestIsGrantedAsReopened) {
    RoomTable table;
    ScriptedRandom random;
    IdChoice choice = table.choose_id(RoomId(MAX_ROOM_ID), random.source());
    EXPECT_EQ(choice.id, RoomId(MAX_ROOM_ID));
    EXPECT_TRUE(choice.reopened);
    EXPECT_EQ(random.drawn(), 0u);
}

TEST(ChooseId, ZeroOrOutOfRangeDraws) {
    for (uint32_t requested : {0u, MAX_ROOM_ID + 1, 0xFFFFFFFFu}) {
        RoomTable table;
        ScriptedRandom random{{1, 2}};
        IdChoice choice = table.choose_id(RoomId(requested), random.source());
        EXPECT_EQ(choice.id, RoomId(((1u << 15) ^ 2u) + 1));
        EXPECT_FALSE(choice.reopened);
    }
}

TEST(ChooseId, TakenRequestAndCollidingDrawsAreRedrawn) {
    RoomTable table;
    Peer host = make_addr("10.0.0.1", 1000);
    RoomId taken = room_id_from_random(3, 4);
    table.room_open(table.rooms()[5], taken, host, 0);
    // The request collides, the first draw collides, the second is free.
    ScriptedRandom random{{3, 4, 0, 9}};
    IdChoice choice = table.choose_id(taken, random.source());
    EXPECT_EQ(choice.id, RoomId(10));
    EXPECT_FALSE(choice.reopened);
    EXPECT_EQ(random.drawn(), 4u);
}

TEST(ChooseId, DrawMasksTo25Bits) {
    EXPECT_EQ(room_id_from_random(0x7FFFFFFF, 0x7FFFFFFF), RoomId(0x8000));  // high bits out
    EXPECT_EQ(room_id_from_random(0x3FF, 0x7FFF), RoomId(MAX_ROOM_ID));
    EXPECT_EQ(room_id_from_random(0, 0), RoomId(1));
}

TEST(Lookups, EmptyTableFindsNothing) {
    RoomTable table;
    Peer addr = make_addr("127.0.0.1", 5000);
    Room* room = nullptr;
    EXPECT_EQ(table.room_by_host(addr), nullptr);
    EXPECT_EQ(table.room_by_id(RoomId(1)), nullptr);
    EXPECT_EQ(table.client_by_addr(addr, &room), nullptr);
    EXPECT_EQ(room, nullptr);
    EXPECT_EQ(table.free_room(), &table.rooms()[0]);
    for (Room& r : table.rooms())
        EXPECT_EQ(client_count(r), 0);
}

TEST(Lookups, AddressIdentityIsIpAndPortOnly) {
    RoomTable table;
    Room& room = table.rooms()[3];
    table.room_open(room, RoomId(7), make_addr("10.0.0.1", 1), 0);
    Peer client = make_addr("10.0.0.2", 4000);
    table.client_join(room, room.clients[2], tag_allocate(room), client);

    Peer other_padding = test::with_other_padding(client);
    Room* found_room = nullptr;
    EXPECT_EQ(table.client_by_addr(other_padding, &found_room), &room.clients[2]);
    EXPECT_EQ(found_room, &room);

    Room* untouched = nullptr;
    EXPECT_EQ(table.client_by_addr(make_addr("10.0.0.2", 4001), &untouched), nullptr);
    EXPECT_EQ(untouched, nullptr);
    EXPECT_EQ(table.room_by_host(make_addr("10.0.0.1", 1)), &room);
    EXPECT_EQ(table.room_by_id(RoomId(7)), &room);
    EXPECT_EQ(table.free_room(), &table.rooms()[0]);
    EXPECT_EQ(client_by_tag(room, Tag(0)), nullptr);
    EXPECT_EQ(client_by_tag(room, Tag(1)), &room.clients[2]);
}

TEST(Lookups, ClearedRecordsAreAllZeros) {
    RoomTable table;
    Room& room = table.rooms()[0];
    table.room_open(room, RoomId(9), make_addr("10.0.0.1", 1), 123);
    table.client_join(room, room.clients[0], tag_allocate(room), make_addr("10.0.0.3", 3));
    table.client_clear(room.clients[0]);
    static const ClientSlot zero_slot{};
    EXPECT_EQ(memcmp(&room.clients[0], &zero_slot, sizeof zero_slot), 0);
    table.room_clear(room);
    static const Room zero_room{};
    EXPECT_EQ(memcmp(&room, &zero_room, sizeof zero_room), 0);
    // A reused record starts again from tag 1.
    table.room_open(room, RoomId(9), make_addr("10.0.0.1", 1), 124);
    EXPECT_EQ(tag_allocate(room), Tag(1));
}

TEST(TagAllocate, WrapsFrom65535To1) {
    Room room{};
    room.id = RoomId(1);
    room.next_tag = Tag(MAX_TAG);
    EXPECT_EQ(tag_allocate(room), Tag(MAX_TAG));
    EXPECT_EQ(room.next_tag, Tag(1));
    EXPECT_EQ(tag_allocate(room), Tag(1));
    EXPECT_EQ(room.next_tag, Tag(2));
}

TEST(TagAllocate, SkipsTagsHeldByCurrentClients) {
    Room room{};
    room.id = RoomId(1);
    room.clients[0].tag = Tag(1);  // joined first and still here after 65535 joins
    room.clients[4].tag = Tag(2);
    room.clients[6].tag = Tag(MAX_TAG);
    room.next_tag = Tag(MAX_TAG);
    EXPECT_EQ(tag_allocate(room), Tag(3));
    EXPECT_EQ(room.next_tag, Tag(4));
}

TEST(TagAllocate, SixtyFiveThousandJoinsKeepTagsUnique) {
    Room room{};
    room.id = RoomId(1);
    room.next_tag = Tag(1);
    room.clients[0].tag = tag_allocate(room);  // the long-lived client holds tag 1
    for (int join = 0; join < 70000; ++join) {
        room.clients[1].tag = tag_allocate(room);
        ASSERT_NE(room.clients[1].tag, room.clients[0].tag);
        ASSERT_GE(room.clients[1].tag.value, 1u);
        ASSERT_LE(room.clients[1].tag.value, MAX_TAG);
    }
}

}  // namespace
}  // namespace kiv
