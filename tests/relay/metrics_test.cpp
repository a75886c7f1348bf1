// What the core counts, how the metrics page and the stats line show it, and which requests
// the metrics server answers with the page.
#include "relay/metrics.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core_harness.hpp"
#include "ipv4.hpp"
#include "relay/http_metrics.hpp"
#include "relay/relay.hpp"

namespace kiv {
namespace {

using test::Bytes;
using test::datagram;
using test::header;
using test::make_addr;

class CoreCounts : public ::testing::Test, public test::CoreHarness {
  protected:
    // The length of what the core sends, 0 when nothing.
    size_t sent_length(const Peer& from, MsgType type, uint32_t value, size_t payload = 0) {
        return send(from, type, value, Bytes(payload)) ? sent->bytes.size() : 0;
    }
    Peer peer(int n) { return make_addr("127.0.0.2", uint16_t(1000 + n)); }
};

TEST_F(CoreCounts, EveryOutcomeMovesItsOwnCounterOnly) {
    Counters want;
    Peer host = make_addr("127.0.0.1", 1);
    uint32_t room = open_room(host);
    want.rooms_opened = 1;
    EXPECT_EQ(sent_length(peer(1), MsgType::MSG_DATA, room, 20), 32u);
    want.clients_joined = 1;
    want.forwarded_to_host = 1;
    want.bytes_to_host = 32;
    EXPECT_EQ(sent_length(host, MsgType::MSG_DATA, 1, 2), 14u);
    want.forwarded_to_client = 1;
    want.bytes_to_client = 14;
    EXPECT_EQ(sent_length(host, MsgType::MSG_DATA, 9), 0u);
    want.dropped_no_client = 1;
    EXPECT_FALSE(deliver(peer(1), header(MsgType::MSG_PING, 0), 11));
    want.dropped_short = 1;
    Bytes foreign = header(MsgType::MSG_PING, 0);
    foreign[0] = 'X';
    EXPECT_FALSE(deliver(peer(1), foreign));
    want.dropped_bad_magic = 1;
    for (uint8_t type : {0, 2, 6, 8, 9, 255})
        send(peer(1), MsgType(type), 0);
    want.dropped_unknown_type = 6;
    EXPECT_EQ(sent_length(peer(1), MsgType::MSG_DATA, room, MAX_DATAGRAM - HEADER_SIZE + 1), 0u);
    want.dropped_oversize = 1;
    Bytes old_version = header(MsgType::MSG_PING, 0);
    old_version[OFFSET_VERSION] = 2;
    deliver(peer(1), old_version);
    send(peer(2), MsgType::MSG_DATA, 0);
    want.errors_sent[size_t(ErrorCode::ERR_BAD_VERSION)] = 1;
    want.errors_sent[size_t(ErrorCode::ERR_NO_ROOM)] = 1;
    for (int n = 2; n <= 8; ++n)
        send(peer(n), MsgType::MSG_DATA, room);
    send(peer(9), MsgType::MSG_DATA, room);
    want.clients_joined = 8;
    want.forwarded_to_host = 8;
    want.bytes_to_host = 32 + 7 * HEADER_SIZE;
    want.errors_sent[size_t(ErrorCode::ERR_ROOM_FULL)] = 1;
    send(peer(1), MsgType::MSG_PING, 7);
    want.pongs_sent = 1;
    send(peer(1), MsgType::MSG_LEAVE, 0);
    want.clients_left = 1;

    // Peer 2 moves to a room of its own; peer 3 leaves its slot to host one.
    uint32_t second = open_room(make_addr("127.0.0.1", 2));
    send(peer(2), MsgType::MSG_DATA, second);
    open_room(peer(3));
    want.rooms_opened = 3;
    want.clients_joined = 9;
    want.forwarded_to_host = 9;
    want.bytes_to_host += HEADER_SIZE;
    want.clients_moved = 2;
    for (int n = 3; n < MAX_ROOMS; ++n)  // each host on an address of its own
        open_room(make_addr(("127.3.0." + std::to_string(n)).c_str(), 1));
    send(make_addr("127.0.0.4", 1), MsgType::MSG_OPEN, 0);
    want.rooms_opened = MAX_ROOMS;
    want.errors_sent[size_t(ErrorCode::ERR_NO_FREE_ROOM)] = 1;
    want.datagrams_received = 28 + (MAX_ROOMS - 3) + 1;
    EXPECT_EQ(relay.counters(), want);
    EXPECT_EQ(relay.counters().dropped(), 10u);
    EXPECT_EQ(relay.counters().errors(), 4u);
    TableCounts table = table_counts(relay.table());
    EXPECT_EQ(table.rooms, MAX_ROOMS);
    EXPECT_EQ(table.clients, 6);

    // The first host keeps its room; every other room is silent, one with peer 2 in it.
    now += TIMEOUT_MS - 1000;
    open_room(host);
    now += 2000;
    relay.sweep(now);
    want.datagrams_received += 1;
    want.clients_timed_out = 5;  // peers 4 to 8
    want.rooms_closed_silent = MAX_ROOMS - 1;
    want.clients_room_closed = 1;
    send(host, MsgType::MSG_CLOSE, 0);
    want.datagrams_received += 1;
    want.rooms_closed_by_host = 1;
    EXPECT_EQ(relay.counters(), want);
    table = table_counts(relay.table());
    EXPECT_EQ(table.rooms, 0);
    EXPECT_EQ(table.clients, 0);
}

// Samples by name and labels, as the page writes them.
std::map<std::string, std::string> samples_of(const std::string& page) {
    std::map<std::string, std::string> samples;
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        size_t blank = line.rfind(' ');
        samples[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return samples;
}

TEST(MetricsPage, ShowsEveryCounterUnderItsNameAndLabels) {
    Counters counters;
    counters.datagrams_received = 101;
    counters.dropped_short = 102;
    counters.dropped_bad_magic = 103;
    counters.dropped_unknown_type = 104;
    counters.dropped_oversize = 105;
    counters.dropped_no_client = 106;
    counters.dropped_throttled = 107;
    counters.forwarded_to_host = 108;
    counters.forwarded_to_client = 109;
    counters.bytes_to_host = 110;
    counters.bytes_to_client = 111;
    counters.errors_sent = {0, 112, 113, 114, 115, 128};
    counters.throttled_lookups = 129;
    counters.throttled_lookup_ceiling = 130;
    counters.throttled_events = 131;
    counters.log_lines_suppressed = 132;
    counters.pongs_sent = 116;
    counters.send_failures = 117;
    counters.receive_queue_drops = 118;
    counters.rooms_opened = 119;
    counters.rooms_closed_by_host = 120;
    counters.rooms_closed_silent = 121;
    counters.clients_joined = 122;
    counters.clients_left = 123;
    counters.clients_timed_out = 124;
    counters.clients_moved = 125;
    counters.clients_room_closed = 126;
    counters.log_lines_dropped = 127;
    counters.datagrams_received_ipv6 = 1;
    counters.forwarded_to_host_ipv6 = 2;
    counters.forwarded_to_client_ipv6 = 3;
    counters.bytes_to_host_ipv6 = 4;
    counters.bytes_to_client_ipv6 = 5;
    char buffer[METRICS_PAGE_BYTES];
    size_t length = metrics_render({counters, {7, 9}, "1.2.3", 1700000000}, buffer, sizeof buffer);
    ASSERT_GT(length, 0u);
    std::string page(buffer, length);
    std::map<std::string, std::string> want = {
        {R"(kiv_relay_datagrams_received_total{family="ipv4"})", "100"},
        {R"(kiv_relay_datagrams_received_total{family="ipv6"})", "1"},
        {R"(kiv_relay_datagrams_dropped_total{reason="short"})", "102"},
        {R"(kiv_relay_datagrams_dropped_total{reason="bad_magic"})", "103"},
        {R"(kiv_relay_datagrams_dropped_total{reason="unknown_type"})", "104"},
        {R"(kiv_relay_datagrams_dropped_total{reason="oversize"})", "105"},
        {R"(kiv_relay_datagrams_dropped_total{reason="no_client"})", "106"},
        {R"(kiv_relay_datagrams_dropped_total{reason="throttled"})", "107"},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_host",family="ipv4"})", "106"},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_host",family="ipv6"})", "2"},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_client",family="ipv4"})", "106"},
        {R"(kiv_relay_datagrams_forwarded_total{direction="to_client",family="ipv6"})", "3"},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_host",family="ipv4"})", "106"},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_host",family="ipv6"})", "4"},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_client",family="ipv4"})", "106"},
        {R"(kiv_relay_bytes_forwarded_total{direction="to_client",family="ipv6"})", "5"},
        {R"(kiv_relay_errors_sent_total{error="no_room"})", "112"},
        {R"(kiv_relay_errors_sent_total{error="room_full"})", "113"},
        {R"(kiv_relay_errors_sent_total{error="no_free_room"})", "114"},
        {R"(kiv_relay_errors_sent_total{error="bad_version"})", "115"},
        {R"(kiv_relay_errors_sent_total{error="not_allowed"})", "128"},
        {R"(kiv_relay_throttled_total{reason="lookups"})", "129"},
        {R"(kiv_relay_throttled_total{reason="lookup_ceiling"})", "130"},
        {R"(kiv_relay_throttled_total{reason="events"})", "131"},
        {"kiv_relay_log_lines_suppressed_total", "132"},
        {"kiv_relay_pongs_sent_total", "116"},
        {"kiv_relay_send_failures_total", "117"},
        {"kiv_relay_receive_queue_drops_total", "118"},
        {"kiv_relay_rooms_open", "7"},
        {"kiv_relay_clients", "9"},
        {"kiv_relay_rooms_capacity", "256"},
        {"kiv_relay_rooms_opened_total", "119"},
        {R"(kiv_relay_rooms_closed_total{reason="host_closed"})", "120"},
        {R"(kiv_relay_rooms_closed_total{reason="host_silent"})", "121"},
        {"kiv_relay_clients_joined_total", "122"},
        {R"(kiv_relay_clients_left_total{reason="left"})", "123"},
        {R"(kiv_relay_clients_left_total{reason="timed_out"})", "124"},
        {R"(kiv_relay_clients_left_total{reason="moved"})", "125"},
        {R"(kiv_relay_clients_left_total{reason="room_closed"})", "126"},
        {"kiv_relay_log_lines_dropped_total", "127"},
        {R"(kiv_relay_build_info{version="1.2.3"})", "1"},
        {"kiv_relay_start_time_seconds", "1700000000"},
    };
    EXPECT_EQ(samples_of(page), want);
    EXPECT_EQ(page.back(), '\n');
}

TEST(MetricsPage, FitsItsBufferWithEveryCounterAtItsLargest) {
    Counters counters;
    for (uint64_t* field = &counters.datagrams_received; field <= &counters.log_lines_suppressed;
         ++field) {
        *field = std::numeric_limits<uint64_t>::max();
    }
    static_assert(sizeof(Counters) % sizeof(uint64_t) == 0);
    char buffer[METRICS_PAGE_BYTES];
    // With the join and reflect figures too, which only a relay with those options shows.
    MetricsFigures figures{counters, {MAX_ROOMS, MAX_ROOMS * MAX_CLIENTS}, "0.1.0", INT64_MAX, true,
                           true};
    size_t length = metrics_render(figures, buffer, sizeof buffer);
    ASSERT_GT(length, 0u);
    std::string page(buffer, length);
    EXPECT_NE(page.find(R"(kiv_relay_join_echoes_total{outcome="refused"} 18446744073709551615)"),
              std::string::npos);
    EXPECT_NE(page.find(R"(kiv_relay_reflections_total{result="too_short"} 18446744073709551615)"),
              std::string::npos);
    EXPECT_NE(page.find(R"(kiv_relay_errors_sent_total{error="bad_version"} 18446744073709551615)"),
              std::string::npos);
    // A buffer one byte too small gives no page rather than a cut one.
    EXPECT_EQ(metrics_render(figures, buffer, length), 0u);
}

TEST(StatsLine, SumsDropsAndErrors) {
    Counters counters;
    counters.datagrams_received = 50;
    counters.forwarded_to_host = 20;
    counters.forwarded_to_client = 10;
    counters.dropped_short = 1;
    counters.dropped_no_client = 2;
    counters.dropped_oversize = 3;
    counters.errors_sent = {0, 1, 1, 0, 2};
    char line[160];
    stats_format(counters, {3, 11}, line, sizeof line);
    EXPECT_STREQ(line,
                 "stats: rooms 3/256, clients 11, received 50, forwarded 30, dropped 6, errors 4");
}

TEST(MetricsRequest, OnlyGetOfTheMetricsPathIsServed) {
    struct Case {
        const char* request;
        int status;
    };
    for (Case c : std::vector<Case>{
             {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200},
             {"GET /metrics HTTP/1.0\r\n\r\n", 200},
             {"GET /metrics?name[]=x HTTP/1.1\r\n\r\n", 200},
             {"GET /metrics HTTP/1.1\n\n", 200},
             {"HEAD /metrics HTTP/1.1\r\n\r\n", 405},
             {"POST /metrics HTTP/1.1\r\n\r\n", 405},
             {"get /metrics HTTP/1.1\r\n\r\n", 405},
             {"GET / HTTP/1.1\r\n\r\n", 404},
             {"GET /metricsx HTTP/1.1\r\n\r\n", 404},
             {"GET /metric HTTP/1.1\r\n\r\n", 404},
             {"GET /metrics HTTP/2.0\r\n\r\n", 400},
             {"GET /metrics\r\n\r\n", 400},
             {"GET\r\n\r\n", 400},
             {"\r\n\r\n", 400},
         }) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(metrics_request_status(c.request, strlen(c.request)), c.status);
    }
}

}  // namespace
}  // namespace kiv
