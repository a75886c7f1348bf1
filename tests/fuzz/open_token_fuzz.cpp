// The open token parser and check as a fuzz target: whatever bytes arrive as an open's
// payload, parsing accepts exactly the token layout and gives back the bytes it read, and
// the check admits exactly the tokens the key itself would mint, unexpired. Any other
// outcome aborts.
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
    require(parsed == (size == OPEN_TOKEN_BYTES && data[0] == OPEN_TOKEN_VERSION));
    if (parsed) {
        uint8_t written[OPEN_TOKEN_BYTES];
        open_token_write(token, written);
        require(memcmp(written, data, size) == 0);
    }
    const OpenKey* key = fixed_key();
    if (key == nullptr) return 0;  // a build without token support parses only
    bool admitted = key->accepts(data, size, NOW_SECONDS);
    bool genuine = false;
    if (parsed) {
        uint8_t minted[OPEN_TOKEN_BYTES];
        key->mint(token.expiry_seconds, minted);
        genuine = memcmp(minted, data, size) == 0;
        // What the key mints it also admits, until the expiry has passed.
        require(key->accepts(minted, sizeof minted, token.expiry_seconds));
        require(token.expiry_seconds == UINT64_MAX ||
                !key->accepts(minted, sizeof minted, token.expiry_seconds + 1));
    }
    require(admitted == (genuine && token.expiry_seconds >= NOW_SECONDS));
    return 0;
}
