#include "wire/open_token.hpp"

#include <cstring>

#ifdef KIV_HAVE_SODIUM
#include <sodium.h>
#endif

namespace kiv {
namespace {

void store_le64(uint8_t* bytes, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
}

uint64_t load_le64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

}  // namespace

bool open_token_parse(const uint8_t* payload, size_t length, OpenToken* token) {
    if (length != OPEN_TOKEN_BYTES || payload[0] != OPEN_TOKEN_VERSION) return false;
    token->version = payload[0];
    token->expiry_seconds = load_le64(payload + 1);
    memcpy(token->mac, payload + 9, OPEN_TOKEN_MAC_BYTES);
    return true;
}

void open_token_signed_bytes(uint8_t version, uint64_t expiry_seconds,
                             uint8_t (&out)[OPEN_TOKEN_SIGNED_BYTES]) {
    memcpy(out, OPEN_TOKEN_LABEL, OPEN_TOKEN_LABEL_BYTES);
    out[OPEN_TOKEN_LABEL_BYTES] = version;
    store_le64(out + OPEN_TOKEN_LABEL_BYTES + 1, expiry_seconds);
}

void open_token_write(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_BYTES]) {
    out[0] = token.version;
    store_le64(out + 1, token.expiry_seconds);
    memcpy(out + 9, token.mac, OPEN_TOKEN_MAC_BYTES);
}

#ifdef KIV_HAVE_SODIUM

static_assert(sizeof(crypto_auth_hmacsha256_state) <= 512, "HMAC state does not fit");
static_assert(crypto_auth_hmacsha256_BYTES == OPEN_TOKEN_MAC_BYTES, "MAC size");

bool open_token_supported() {
    return true;
}

bool OpenKey::set(const uint8_t* key, size_t length) {
    if (length < OPEN_KEY_MIN_BYTES || length > OPEN_KEY_MAX_BYTES) return false;
    if (sodium_init() < 0) return false;
    auto* state = reinterpret_cast<crypto_auth_hmacsha256_state*>(state_);
    crypto_auth_hmacsha256_init(state, key, length);
    is_set_ = true;
    return true;
}

void OpenKey::mac(uint8_t version, uint64_t expiry_seconds,
                  uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const {
    crypto_auth_hmacsha256_state state;
    memcpy(&state, state_, sizeof state);
    uint8_t signed_bytes[OPEN_TOKEN_SIGNED_BYTES];
    open_token_signed_bytes(version, expiry_seconds, signed_bytes);
    crypto_auth_hmacsha256_update(&state, signed_bytes, sizeof signed_bytes);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

bool OpenKey::accepts(const uint8_t* payload, size_t length, uint64_t now_seconds) const {
    OpenToken token;
    if (!is_set_ || !open_token_parse(payload, length, &token)) return false;
    uint8_t expected[OPEN_TOKEN_MAC_BYTES];
    mac(token.version, token.expiry_seconds, expected);
    // The MAC is checked in constant time whatever the expiry says, so timing tells a forger
    // nothing about how close a guess came.
    bool mac_ok = crypto_verify_32(expected, token.mac) == 0;
    return mac_ok && token.expiry_seconds >= now_seconds;
}

#else

bool open_token_supported() {
    return false;
}

bool OpenKey::set(const uint8_t*, size_t) {
    return false;
}

void OpenKey::mac(uint8_t, uint64_t, uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const {
    memset(out, 0, sizeof out);
}

bool OpenKey::accepts(const uint8_t*, size_t, uint64_t) const {
    return false;
}

#endif

void OpenKey::mint(uint64_t expiry_seconds, uint8_t (&out)[OPEN_TOKEN_BYTES]) const {
    OpenToken token{OPEN_TOKEN_VERSION, expiry_seconds, {}};
    mac(token.version, token.expiry_seconds, token.mac);
    open_token_write(token, out);
}

}  // namespace kiv
