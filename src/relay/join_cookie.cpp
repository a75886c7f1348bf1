#include "relay/join_cookie.hpp"

#include <sys/socket.h>

#include <cstring>

#ifdef KIV_HAVE_SODIUM
#include <sodium.h>
#endif

namespace kiv {

#ifdef KIV_HAVE_SODIUM

namespace {

// Each period's key is derived under this context, so keys for other uses of the same master
// key can never coincide with one.
constexpr char KDF_CONTEXT[] = "kivjoin1";
constexpr size_t COVERED_BYTES = 16 + 2 + 4;
// The last period before the millisecond clock wraps: the one before period 0.
constexpr uint32_t LAST_PERIOD = UINT32_MAX / COOKIE_PERIOD_MS;

// Address, port and room as the MAC covers them; equal peers (mapped or not) give equal bytes.
void covered_bytes(const Peer& source, RoomId room, uint8_t (&out)[COVERED_BYTES]) {
    memset(out, 0, sizeof out);
    if (source.name()->sa_family == AF_INET) {
        const auto& address = *reinterpret_cast<const sockaddr_in*>(source.name());
        out[10] = out[11] = 0xFF;
        memcpy(out + 12, &address.sin_addr, 4);
        memcpy(out + 16, &address.sin_port, 2);
    } else {
        const auto& address = *reinterpret_cast<const sockaddr_in6*>(source.name());
        memcpy(out, &address.sin6_addr, 16);
        memcpy(out + 16, &address.sin6_port, 2);
    }
    for (int i = 0; i < 4; ++i)
        out[18 + i] = uint8_t(room.value >> (8 * i));
}

static_assert(sizeof KDF_CONTEXT - 1 == crypto_kdf_CONTEXTBYTES, "KDF context size");
static_assert(JOIN_COOKIE_KEY_BYTES == crypto_kdf_KEYBYTES, "master key size");

uint32_t cookie_of_period(const JoinCookieKey& key, const uint8_t (&covered)[COVERED_BYTES],
                          uint32_t period) {
    uint8_t period_key[crypto_shorthash_KEYBYTES];
    crypto_kdf_derive_from_key(period_key, sizeof period_key, period, KDF_CONTEXT, key.bytes);
    uint8_t mac[crypto_shorthash_BYTES];
    crypto_shorthash(mac, covered, sizeof covered, period_key);
    sodium_memzero(period_key, sizeof period_key);
    return uint32_t(mac[0]) | uint32_t(mac[1]) << 8 | uint32_t(mac[2]) << 16 |
           uint32_t(mac[3]) << 24;
}

}  // namespace

bool join_cookie_supported() {
    return sodium_init() >= 0;
}

uint32_t join_cookie(const JoinCookieKey& key, const Peer& source, RoomId room, uint32_t now_ms) {
    uint8_t covered[COVERED_BYTES];
    covered_bytes(source, room, covered);
    return cookie_of_period(key, covered, now_ms / COOKIE_PERIOD_MS);
}

bool join_cookie_good(const JoinCookieKey& key, const Peer& source, RoomId room, uint32_t now_ms,
                      uint32_t cookie) {
    uint8_t covered[COVERED_BYTES];
    covered_bytes(source, room, covered);
    uint32_t period = now_ms / COOKIE_PERIOD_MS;
    uint32_t previous = period == 0 ? LAST_PERIOD : period - 1;
    // Both are computed whatever the first says, so timing tells nothing of which matched.
    bool current = cookie_of_period(key, covered, period) == cookie;
    bool before = cookie_of_period(key, covered, previous) == cookie;
    return current || before;
}

#else

bool join_cookie_supported() {
    return false;
}

uint32_t join_cookie(const JoinCookieKey&, const Peer&, RoomId, uint32_t) {
    return 0;
}

bool join_cookie_good(const JoinCookieKey&, const Peer&, RoomId, uint32_t, uint32_t) {
    return false;
}

#endif

}  // namespace kiv
