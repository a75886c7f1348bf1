// kiv token: mints an open token for a relay started with --open-key, and reads one given
// to kiv host --token.
#include <time.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "kiv/cli.hpp"
#include "kiv/commands.hpp"
#include "wire/open_key_file.hpp"
#include "wire/open_token.hpp"

namespace kiv::cli {
namespace {

constexpr const char* TOKEN_USAGE = "usage: kiv token --key FILE [--ttl SECONDS] [--room ROOM]";
constexpr const char* TOKEN_HELP =
    "Prints, as hex, an open token made with the relay's key: a relay started with\n"
    "--open-key FILE lets a host open a room only with such a token (kiv host --token).\n"
    "\n"
    "  --key FILE     the relay's key file (at least 32 bytes, not readable by everyone)\n"
    "  --ttl SECONDS  how long the token is good for; 3600 when left out\n"
    "  --room ROOM    a token that opens this room only (a code, or a decimal id); the\n"
    "                 only kind that may open a room again at its id. Without it, a token\n"
    "                 for rooms at ids the relay draws, at most 4 rooms at once\n";
constexpr uint64_t DEFAULT_TTL_SECONDS = 3600;
// Ten years: anything longer is surely a mistake in the number.
constexpr uint64_t MAX_TTL_SECONDS = 10ull * 366 * 86400;

bool parse_ttl(const char* text, uint64_t* ttl) {
    const char* end = text + strlen(text);
    auto [stop, error] = std::from_chars(text, end, *ttl);
    return error == std::errc{} && stop == end && *ttl != 0 && *ttl <= MAX_TTL_SECONDS;
}

// A room-bound token when a room is given, an any-room one otherwise, as hex digits.
void print_token(const OpenKey& key, RoomId room, uint64_t expiry) {
    uint8_t token[OPEN_TOKEN_ROOM_BYTES];
    if (room.valid()) {
        key.mint_for_room(room.value, expiry, token);
    } else {
        uint8_t any_room[OPEN_TOKEN_BYTES];
        key.mint(expiry, any_room);
        memcpy(token, any_room, sizeof any_room);
    }
    for (size_t i = 0; i < open_token_length(token[0]); ++i)
        printf("%02x", token[i]);
    printf("\n");
}

}  // namespace

bool parse_open_token(const char* hex, uint8_t (&token)[OPEN_TOKEN_ROOM_BYTES], size_t* length,
                      Reason* reason) {
    *length = strlen(hex) / 2;
    bool well_formed = *length == OPEN_TOKEN_BYTES || *length == OPEN_TOKEN_ROOM_BYTES;
    well_formed = well_formed && strlen(hex) == 2 * *length;
    for (size_t i = 0; well_formed && i < *length; ++i) {
        auto [end, error] = std::from_chars(hex + 2 * i, hex + 2 * i + 2, token[i], 16);
        well_formed = error == std::errc{} && end == hex + 2 * i + 2;
    }
    OpenToken fields;
    if (!well_formed || !open_token_parse(token, *length, &fields)) {
        snprintf(reason->text, sizeof reason->text,
                 "invalid token (expected the %zu or %zu hex digits kiv token prints)",
                 2 * OPEN_TOKEN_BYTES, 2 * OPEN_TOKEN_ROOM_BYTES);
        return false;
    }
    return true;
}

int run_token(int argc, char** argv) {
    static const option long_options[] = {{"key", required_argument, nullptr, 'k'},
                                          {"ttl", required_argument, nullptr, 't'},
                                          {"room", required_argument, nullptr, 'r'},
                                          {"help", no_argument, nullptr, 'h'},
                                          {nullptr, 0, nullptr, 0}};
    ArgumentScanner arguments(argc, argv, "h", long_options);
    const char* key_path = nullptr;
    const char* ttl_text = nullptr;
    const char* room_text = nullptr;
    for (int option; (option = arguments.next()) != -1;) {
        switch (option) {
            case 'h':
                printf("%s\n\n%s", TOKEN_USAGE, TOKEN_HELP);
                return 0;
            case 'k':
                key_path = arguments.value();
                break;
            case 't':
                ttl_text = arguments.value();
                break;
            case 'r':
                room_text = arguments.value();
                break;
            default:
                return arguments.report_bad_option(option, TOKEN_USAGE);
        }
    }
    if (key_path == nullptr || arguments.operand_count() != 0) {
        fprintf(stderr, "kiv token: expected --key FILE and nothing else\n%s\n", TOKEN_USAGE);
        return EXIT_USAGE;
    }
    uint64_t ttl = DEFAULT_TTL_SECONDS;
    if (ttl_text != nullptr && !parse_ttl(ttl_text, &ttl)) {
        fprintf(stderr, "kiv token: invalid --ttl '%s' (expected 1 to %llu seconds)\n%s\n",
                ttl_text, static_cast<unsigned long long>(MAX_TTL_SECONDS), TOKEN_USAGE);
        return EXIT_USAGE;
    }
    RoomId room;
    Reason why;
    if (room_text != nullptr && !parse_room(room_text, &room, &why)) {
        fprintf(stderr, "kiv token: %s\n%s\n", why.text, TOKEN_USAGE);
        return EXIT_USAGE;
    }
    if (!open_token_supported()) {
        fprintf(stderr, "kiv token: this build has no token support\n");
        return EXIT_USAGE;
    }
    static OpenKey key;
    char reason[512];
    if (!open_key_load(key_path, &key, reason, sizeof reason)) {
        fprintf(stderr, "kiv token: %s\n", reason);
        return EXIT_FAILED;
    }
    print_token(key, room, uint64_t(time(nullptr)) + ttl);
    return 0;
}

}  // namespace kiv::cli
