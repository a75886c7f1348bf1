// The open token parser and check as a fuzz target: whatever bytes arrive as an open's
// payload, parsing accepts exactly the token layouts (any room, one room) and gives back the
// bytes it read, and the check admits exactly the tokens the key itself would mint,
// unexpired, and says which. Any other outcome aborts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "wire/open_token.hpp"

namespace {

using namespace kiv;

// The key the seed tokens were made with: 32 bytes of 'k'.
constexpr uint8_t KEY_BYTE = 'k';
constexpr uint64_t NOW_SECONDS = 1'800'000'000;

void require(bool rule) {
    if (!rule) abort();
}

const OpenKey* fixed_key() {
    static OpenKey key;
    static bool made = [] {
        uint8_t bytes[32];
        memset(bytes, KEY_BYTE, sizeof bytes);
        return key.set(bytes, sizeof bytes);
    }();
    return made ? &key : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OpenToken token;
    bool parsed = open_token_parse(data, size, &token);
    require(parsed == (size != 0 && size == open_token_length(data[0])));
    require(!parsed || token.version == OPEN_TOKEN_VERSION ||
            token.version == OPEN_TOKEN_ROOM_VERSION);
    if (parsed) {
        uint8_t written[OPEN_TOKEN_ROOM_BYTES];
        require(open_token_write(token, written) == size);
        require(memcmp(written, data, size) == 0);
    }
    const OpenKey* key = fixed_key();
    if (key == nullptr) return 0;  // a build without token support parses only
    OpenToken admitted_token{};
    bool admitted = key->accepts(data, size, NOW_SECONDS, &admitted_token);
    bool genuine = false;
    if (parsed) {
        uint8_t minted[OPEN_TOKEN_ROOM_BYTES];
        size_t length = size;
        if (token.version == OPEN_TOKEN_ROOM_VERSION) {
            key->mint_for_room(token.room_id, token.expiry_seconds, minted);
        } else {
            uint8_t any_room[OPEN_TOKEN_BYTES];
            key->mint(token.expiry_seconds, any_room);
            memcpy(minted, any_room, sizeof any_room);
        }
        genuine = memcmp(minted, data, size) == 0;
        // What the key mints it also admits, until the expiry has passed.
        require(key->accepts(minted, length, token.expiry_seconds));
        require(token.expiry_seconds == UINT64_MAX ||
                !key->accepts(minted, length, token.expiry_seconds + 1));
    }
    require(admitted == (genuine && token.expiry_seconds >= NOW_SECONDS));
    require(!admitted ||
            (admitted_token.version == token.version && admitted_token.room_id == token.room_id &&
             admitted_token.expiry_seconds == token.expiry_seconds));
    return 0;
}
