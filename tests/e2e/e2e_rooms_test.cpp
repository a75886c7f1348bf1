// Rooms on the real binary: hosts and clients exchanging both ways, leaving, moving, and the
// limits of the table, with every log line checked.
#include <memory>
#include <set>

#include "e2e_steps.hpp"

namespace kiv::test {
namespace {

std::string tag_left(uint32_t id, uint32_t tag) {
    return "room " + code_of(id) + ": tag " + std::to_string(tag) + " left";
}

std::string closed(uint32_t id, int count) {
    return "room " + code_of(id) + " closed (host closed it), " + std::to_string(count) +
           " client(s)";
}

TEST(Rooms, HostAndClientsExchangeBothWays) {
    RelayProcess relay;
    Peer host, first, second, third;
    uint32_t id = open_room(relay, host);
    join(relay, host, first, id, 1, 1);
    join(relay, host, second, id, 2, 2);
    join(relay, host, third, id, 3, 3);

    // A repeated open is a keep-alive: same id, no log line (the next line is the leave).
    host.send_to(relay.port(), header(MSG_OPEN, 12345));
    EXPECT_EQ(receive_hex(host), to_hex(header(MSG_OPENED, id)));

    // Further datagrams keep their tag and log nothing.
    first.send_to(relay.port(), data(id, {'a', 'g', 'a', 'i', 'n'}));
    EXPECT_EQ(receive_hex(host), to_hex(data(1, {'a', 'g', 'a', 'i', 'n'})));

    // The host reaches each client by its tag, and only that client.
    host.send_to(relay.port(), data(2, {'t', 'o', '2'}));
    EXPECT_EQ(receive_hex(second), to_hex(data(0, {'t', 'o', '2'})));
    host.send_to(relay.port(), data(3, {'t', 'o', '3'}));
    EXPECT_EQ(receive_hex(third), to_hex(data(0, {'t', 'o', '3'})));
    EXPECT_TRUE(next_is_pong(relay, first));

    // Tags nobody holds are dropped, and a host's datagram is never taken for a join, even
    // when its value names its own room.
    for (uint32_t tag : {0u, 4u, id}) {
        host.send_to(relay.port(), data(tag, {'?'}));
        EXPECT_TRUE(next_is_pong(relay, host));
    }
    EXPECT_TRUE(next_is_pong(relay, first));
    EXPECT_TRUE(next_is_pong(relay, second));
    EXPECT_TRUE(next_is_pong(relay, third));

    // A close from a client or a leave from the host changes nothing.
    first.send_to(relay.port(), header(MSG_CLOSE, id));
    host.send_to(relay.port(), header(MSG_LEAVE, id));

    second.send_to(relay.port(), header(MSG_LEAVE, 0));
    EXPECT_EQ(next_message(relay), tag_left(id, 2));
    host.send_to(relay.port(), data(2, {'g', 'o', 'n', 'e'}));
    EXPECT_TRUE(next_is_pong(relay, second));

    host.send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay), closed(id, 2));
    first.send_to(relay.port(), data(id, {'l', 'a', 't', 'e'}));
    EXPECT_EQ(receive_hex(first), error_hex(ERR_NO_ROOM));
    EXPECT_TRUE(next_is_pong(relay, host));

    // The host gets its old id back, and a client of the old room joins the new one afresh.
    EXPECT_EQ(open_room(relay, host, id), id);
    join(relay, host, first, id, 1, 1);
}

TEST(Rooms, LeavingAndRejoiningGivesTheNextTag) {
    RelayProcess relay;
    Peer host, client, other;
    uint32_t id = open_room(relay, host);
    join(relay, host, client, id, 1, 1);
    join(relay, host, other, id, 2, 2);
    client.send_to(relay.port(), header(MSG_LEAVE, 0));
    EXPECT_EQ(next_message(relay), tag_left(id, 1));
    client.send_to(relay.port(), header(MSG_LEAVE, 0));  // holds no slot: nothing happens
    join(relay, host, client, id, 3, 2);

    // The old tag reaches nobody; the new one reaches the client.
    host.send_to(relay.port(), data(1, {'o', 'l', 'd'}));
    host.send_to(relay.port(), data(3, {'n', 'e', 'w'}));
    EXPECT_EQ(receive_hex(client), to_hex(data(0, {'n', 'e', 'w'})));
    EXPECT_TRUE(next_is_pong(relay, other));
}

TEST(Rooms, NinthClientIsRefusedAndTheEightAreUnaffected) {
    RelayProcess relay;
    Peer host, ninth;
    std::vector<Peer> clients(8);
    uint32_t id = open_room(relay, host);
    for (uint32_t i = 0; i < 8; ++i)
        join(relay, host, clients[i], id, i + 1, int(i) + 1);

    ninth.send_to(relay.port(), data(id, {'9'}));
    EXPECT_EQ(receive_hex(ninth), "4B 49 56 52 06 01 00 00 02 00 00 00");
    EXPECT_TRUE(next_is_pong(relay, host)) << "the refused datagram must not be forwarded";

    for (uint32_t i = 0; i < 8; ++i) {
        clients[i].send_to(relay.port(), data(id, {uint8_t(i)}));
        EXPECT_EQ(receive_hex(host), to_hex(data(i + 1, {uint8_t(i)})));
        host.send_to(relay.port(), data(i + 1, {uint8_t(0x80 + i)}));
        EXPECT_EQ(receive_hex(clients[i]), to_hex(data(0, {uint8_t(0x80 + i)})));
    }

    // A freed slot lets the ninth in with the next tag; no join was logged for its refusal.
    clients[4].send_to(relay.port(), header(MSG_LEAVE, 0));
    EXPECT_EQ(next_message(relay), tag_left(id, 5));
    join(relay, host, ninth, id, 9, 8);
}

TEST(Rooms, ClientMovesBetweenRooms) {
    RelayProcess relay;
    Peer host_a, host_b, client;
    uint32_t room_a = open_room(relay, host_a);
    uint32_t room_b = open_room(relay, host_b);
    join(relay, host_a, client, room_a, 1, 1);

    // The move frees the slot in A without a line of its own: the next line is B's join.
    join(relay, host_b, client, room_b, 1, 1);
    host_a.send_to(relay.port(), data(1, {'x'}));
    EXPECT_TRUE(next_is_pong(relay, client)) << "A's host must no longer reach the client";

    host_b.send_to(relay.port(), data(1, {'y'}));
    EXPECT_EQ(receive_hex(client), to_hex(data(0, {'y'})));
    host_a.send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay), closed(room_a, 0));
    host_b.send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay), closed(room_b, 1));
}

TEST(Rooms, ClientThatOpensARoomLosesItsSlot) {
    RelayProcess relay;
    Peer host, client;
    uint32_t id = open_room(relay, host);
    join(relay, host, client, id, 1, 1);
    uint32_t own = open_room(relay, client);
    EXPECT_NE(own, id);
    host.send_to(relay.port(), data(1, {'x'}));
    EXPECT_TRUE(next_is_pong(relay, client));
    host.send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay), closed(id, 0));
}

TEST(Rooms, FullTableRefusesTheNextOpen) {
    RelayProcess relay;
    // Sixteen rooms from each of sixteen addresses, below the cap on rooms per address.
    std::vector<std::unique_ptr<Peer>> hosts;
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < 256; ++i) {
        hosts.push_back(std::make_unique<Peer>(INADDR_LOOPBACK + i % 16));
        ids.push_back(open_room(relay, *hosts.back()));
    }
    std::set<uint32_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), 256u);
    EXPECT_EQ(distinct.count(0), 0u);

    Peer late;
    late.send_to(relay.port(), header(MSG_OPEN, 0));
    EXPECT_EQ(receive_hex(late), "4B 49 56 52 06 01 00 00 03 00 00 00");

    // A client that asks for a room while the table is full is refused and is no longer a
    // client: its room's close counts nobody.
    Peer client;
    join(relay, *hosts[0], client, ids[0], 1, 1);
    client.send_to(relay.port(), header(MSG_OPEN, 0));
    EXPECT_EQ(receive_hex(client), error_hex(ERR_NO_FREE_ROOM));
    hosts[0]->send_to(relay.port(), header(MSG_CLOSE, 0));
    EXPECT_EQ(next_message(relay), closed(ids[0], 0));

    // The freed room goes to the next host that asks.
    open_room(relay, late);
}

}  // namespace
}  // namespace kiv::test
