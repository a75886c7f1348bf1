// The example programs against the real relay, as a user runs them: chat.c (a host and a
// client exchanging lines), echo_host.cpp (echoes each client's datagrams) and ping.py
// (ctypes on libkiv.so).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "kiv.h"
#include "relay_process.hpp"

namespace kiv::test {
namespace {

std::string relay_address(const RelayProcess& relay) {
    return "127.0.0.1:" + std::to_string(relay.port());
}

// "room CODE" from a host's first line.
std::string room_code_said(CommandProcess& program) {
    std::optional<std::string> line = program.next_out_line();
    EXPECT_TRUE(line);
    if (!line) return "";
    std::smatch match;
    EXPECT_TRUE(std::regex_match(*line, match, std::regex("room ([A-Z2-9]{5})"))) << *line;
    return match.size() > 1 ? match[1].str() : "";
}

TEST(Examples, ChatHostAndClientExchangeLines) {
    RelayProcess relay;
    CommandProcess host(KIV_CHAT_PATH, {relay_address(relay)});
    std::string code = room_code_said(host);
    ASSERT_FALSE(code.empty());
    CommandProcess joiner(KIV_CHAT_PATH, {relay_address(relay), code});
    EXPECT_EQ(joiner.next_out_line(), "joined " + code);
    EXPECT_EQ(host.next_out_line(), "joined 1");

    joiner.write_line("hello from the client");
    EXPECT_EQ(host.next_out_line(), "1: hello from the client");
    // A peer's control characters never reach the terminal.
    host.write_line("hello\x1b[2J from the host");
    EXPECT_EQ(joiner.next_out_line(), "host: hello?[2J from the host");

    joiner.close_input();
    EXPECT_EQ(joiner.wait_exit(), 0);
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
}

TEST(Examples, ChatReportsARefusedJoin) {
    RelayProcess relay;
    ExitResult said = run_to_exit(KIV_CHAT_PATH, {relay_address(relay), "ZZZZZ"});
    EXPECT_EQ(said.status, 1);
    EXPECT_EQ(said.err, "chat: " + relay_address(relay) + ": no such room\n");
    EXPECT_EQ(said.out, "");
}

TEST(Examples, EchoHostSendsEachDatagramBack) {
    RelayProcess relay;
    CommandProcess echo(KIV_ECHO_HOST_PATH, {relay_address(relay)});
    std::string code = room_code_said(echo);
    ASSERT_FALSE(code.empty());
    uint32_t room_id = 0;
    ASSERT_EQ(kiv_room_from_code(code.c_str(), &room_id), KIV_OK);

    // Two clients, each with its own echo.
    Peer first, second(0x7F000002);
    for (const Peer* client : {&first, &second})
        client->send_to(relay.port(), header(MSG_DATA, room_id));
    EXPECT_EQ(echo.next_out_line(), "joined 1");
    EXPECT_EQ(echo.next_out_line(), "joined 2");
    first.send_to(relay.port(), with_payload(header(MSG_DATA, room_id), {'o', 'n', 'e'}));
    second.send_to(relay.port(), with_payload(header(MSG_DATA, room_id), {'t', 'w', 'o'}));
    EXPECT_EQ(first.receive(), with_payload(header(MSG_DATA, 0), {'o', 'n', 'e'}));
    EXPECT_EQ(second.receive(), with_payload(header(MSG_DATA, 0), {'t', 'w', 'o'}));

    echo.terminate();
    EXPECT_EQ(echo.wait_exit(), 0);
    std::optional<std::string> closed = relay.next_message();
    while (closed && closed->find("closed") == std::string::npos)
        closed = relay.next_message();
    ASSERT_TRUE(closed);
    EXPECT_NE(closed->find("room " + code + " closed (host closed it)"), std::string::npos)
        << *closed;
}

#if defined(KIV_SANITIZED_BUILD)
// The interpreter would have to load the sanitizers' runtime before the library.
#define PYTHON_TEST(name) TEST(Examples, DISABLED_##name)
#else
#define PYTHON_TEST(name) TEST(Examples, name)
#endif

PYTHON_TEST(PingPyPingsAndOpensARoom) {
    RelayProcess relay;
    ExitResult said = run_to_exit(KIV_PYTHON, {KIV_PING_PY, relay_address(relay)}, WAIT,
                                  {"KIV_LIBRARY=" KIV_LIBRARY_FILE});
    EXPECT_EQ(said.status, 0) << said.err;
    EXPECT_EQ(said.err, "");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(said.out, match,
                                 std::regex("pong from 127\\.0\\.0\\.1:[0-9]+ in [0-9]+\\.[0-9]{3} "
                                            "ms\nroom ([A-Z2-9]{5})\n")))
        << said.out;
    std::optional<std::string> opened = relay.next_message();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->rfind("room " + match[1].str() + " opened by 127.0.0.1:", 0), 0u) << *opened;
}

PYTHON_TEST(PingPyFailsWhenTheRelayDoesNotAnswer) {
    // A port nobody listens on: the relay that had it is gone.
    uint16_t port = 0;
    {
        RelayProcess gone;
        port = gone.port();
    }
    std::string address = "127.0.0.1:" + std::to_string(port);
    ExitResult said = run_to_exit(KIV_PYTHON, {KIV_PING_PY, address}, 3 * WAIT,
                                  {"KIV_LIBRARY=" KIV_LIBRARY_FILE});
    EXPECT_EQ(said.status, 1);
    EXPECT_EQ(said.out, "");
    EXPECT_EQ(said.err, "ping.py: " + address + ": relay did not answer\n");
}

}  // namespace
}  // namespace kiv::test
