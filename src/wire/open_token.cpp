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

// Version, room id (version 2 only) and expiry, as they lead the token; returns how many.
size_t write_fields(const OpenToken& token, uint8_t* out) {
    bool bound = token.version == OPEN_TOKEN_ROOM_VERSION;
    out[0] = token.version;
    for (int i = 0; bound && i < 4; ++i)
        out[1 + i] = uint8_t(token.room_id >> (8 * i));
    store_le64(out + (bound ? 5 : 1), token.expiry_seconds);
    return bound ? 13 : 9;
}

}  // namespace

size_t open_token_length(uint8_t version) {
    return version == OPEN_TOKEN_VERSION        ? OPEN_TOKEN_BYTES
           : version == OPEN_TOKEN_ROOM_VERSION ? OPEN_TOKEN_ROOM_BYTES
                                                : 0;
}

bool open_token_parse(const uint8_t* payload, size_t length, OpenToken* token) {
    if (length == 0 || length != open_token_length(payload[0])) return false;
    bool bound = payload[0] == OPEN_TOKEN_ROOM_VERSION;
    token->version = payload[0];
    token->room_id = bound ? uint32_t(load_le64(payload + 1)) : 0;  // the low 4 bytes
    token->expiry_seconds = load_le64(payload + (bound ? 5 : 1));
    memcpy(token->mac, payload + length - OPEN_TOKEN_MAC_BYTES, OPEN_TOKEN_MAC_BYTES);
    return true;
}

size_t open_token_signed_bytes(const OpenToken& token,
                               uint8_t (&out)[OPEN_TOKEN_ROOM_SIGNED_BYTES]) {
    memcpy(out, OPEN_TOKEN_LABEL, OPEN_TOKEN_LABEL_BYTES);
    return OPEN_TOKEN_LABEL_BYTES + write_fields(token, out + OPEN_TOKEN_LABEL_BYTES);
}

size_t open_token_write(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_ROOM_BYTES]) {
    size_t fields = write_fields(token, out);
    memcpy(out + fields, token.mac, OPEN_TOKEN_MAC_BYTES);
    return fields + OPEN_TOKEN_MAC_BYTES;
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

void OpenKey::mac(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const {
    crypto_auth_hmacsha256_state state;
    memcpy(&state, state_, sizeof state);
    uint8_t signed_bytes[OPEN_TOKEN_ROOM_SIGNED_BYTES];
    size_t length = open_token_signed_bytes(token, signed_bytes);
    crypto_auth_hmacsha256_update(&state, signed_bytes, length);
    crypto_auth_hmacsha256_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

bool OpenKey::accepts(const uint8_t* payload, size_t length, uint64_t now_seconds,
                      OpenToken* fields) const {
    OpenToken token;
    if (!is_set_ || !open_token_parse(payload, length, &token)) return false;
    uint8_t expected[OPEN_TOKEN_MAC_BYTES];
    mac(token, expected);
    // The MAC is checked in constant time whatever the expiry says, so timing tells a forger
    // nothing about how close a guess came.
    bool mac_ok = crypto_verify_32(expected, token.mac) == 0;
    if (!mac_ok || token.expiry_seconds < now_seconds) return false;
    if (fields != nullptr) *fields = token;
    return true;
}

#else

bool open_token_supported() {
    return false;
}

bool OpenKey::set(const uint8_t*, size_t) {
    return false;
}

void OpenKey::mac(const OpenToken&, uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const {
    memset(out, 0, sizeof out);
}

bool OpenKey::accepts(const uint8_t*, size_t, uint64_t, OpenToken*) const {
    return false;
}

#endif

void OpenKey::mint(uint64_t expiry_seconds, uint8_t (&out)[OPEN_TOKEN_BYTES]) const {
    OpenToken token{OPEN_TOKEN_VERSION, 0, expiry_seconds, {}};
    mac(token, token.mac);
    uint8_t bytes[OPEN_TOKEN_ROOM_BYTES];
    memcpy(out, bytes, open_token_write(token, bytes));
}

void OpenKey::mint_for_room(uint32_t room_id, uint64_t expiry_seconds,
                            uint8_t (&out)[OPEN_TOKEN_ROOM_BYTES]) const {
    OpenToken token{OPEN_TOKEN_ROOM_VERSION, room_id, expiry_seconds, {}};
    mac(token, token.mac);
    open_token_write(token, out);
}

}  // namespace kiv
