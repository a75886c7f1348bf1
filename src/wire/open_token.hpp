// The open token: what a host shows a relay started with --open-key to be let open a room.
// An operator's lobby that holds the key mints one for each host it trusts; the relay checks
// it without any state of its own.
//
//   offset 0   1 byte    version, 1
//   offset 1   8 bytes   expiry: unsigned Unix seconds, little-endian; valid up to and
//                        including that second
//   offset 9   32 bytes  HMAC-SHA256 over OPEN_TOKEN_LABEL, the version byte and the 8
//                        expiry bytes, keyed with the key file's bytes
//
// A token bound to one room, the one id it opens, is of version 2, 45 bytes:
//
//   offset 0   1 byte    version, 2
//   offset 1   4 bytes   room id, little-endian (1..MAX_ROOM_ID)
//   offset 5   8 bytes   expiry, as in version 1
//   offset 13  32 bytes  HMAC-SHA256 over OPEN_TOKEN_LABEL and the 13 bytes before it
//
// It is the whole payload of the MSG_OPEN that carries it: exactly OPEN_TOKEN_BYTES, or
// OPEN_TOKEN_ROOM_BYTES for version 2.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

inline constexpr uint8_t OPEN_TOKEN_VERSION = 1;
inline constexpr uint8_t OPEN_TOKEN_ROOM_VERSION = 2;
inline constexpr size_t OPEN_TOKEN_MAC_BYTES = 32;
inline constexpr size_t OPEN_TOKEN_BYTES = 1 + 8 + OPEN_TOKEN_MAC_BYTES;
inline constexpr size_t OPEN_TOKEN_ROOM_BYTES = 1 + 4 + 8 + OPEN_TOKEN_MAC_BYTES;
// What the MAC covers before the version and expiry, so that a MAC made with the same key
// for some other purpose can never pass for a token.
inline constexpr char OPEN_TOKEN_LABEL[] = "kiv open token";
inline constexpr size_t OPEN_TOKEN_LABEL_BYTES = sizeof OPEN_TOKEN_LABEL - 1;
// The bytes the MAC covers: label, version, expiry; label, version, room id, expiry.
inline constexpr size_t OPEN_TOKEN_SIGNED_BYTES = OPEN_TOKEN_LABEL_BYTES + 1 + 8;
inline constexpr size_t OPEN_TOKEN_ROOM_SIGNED_BYTES = OPEN_TOKEN_SIGNED_BYTES + 4;
// A key file is at least this long and at most OPEN_KEY_MAX_BYTES.
inline constexpr size_t OPEN_KEY_MIN_BYTES = 32;
inline constexpr size_t OPEN_KEY_MAX_BYTES = 4096;

struct OpenToken {
    uint8_t version;
    uint32_t room_id;  // version 2; 0 in version 1
    uint64_t expiry_seconds;
    uint8_t mac[OPEN_TOKEN_MAC_BYTES];
};

// How long a token of `version` is; 0 for a version that does not exist.
size_t open_token_length(uint8_t version);
// Splits a payload into its fields: false unless it is exactly open_token_length() long for
// its version. Says nothing about the MAC, the expiry or whether the room id is in range.
bool open_token_parse(const uint8_t* payload, size_t length, OpenToken* token);
// The bytes the MAC covers (label, then the token's bytes before the MAC); returns how many.
size_t open_token_signed_bytes(const OpenToken& token,
                               uint8_t (&out)[OPEN_TOKEN_ROOM_SIGNED_BYTES]);
// A token's bytes from its fields; returns how many.
size_t open_token_write(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_ROOM_BYTES]);

// Whether this build can make and check MACs (it was built with libsodium).
bool open_token_supported();

// A key ready to make and check MACs: the HMAC state after the key, kept so that a check
// costs no key schedule. Without token support, set() always fails.
class OpenKey {
  public:
    // `key` is the key file's bytes, OPEN_KEY_MIN_BYTES to OPEN_KEY_MAX_BYTES of them.
    bool set(const uint8_t* key, size_t length);
    bool is_set() const { return is_set_; }

    void mint(uint64_t expiry_seconds, uint8_t (&out)[OPEN_TOKEN_BYTES]) const;
    // A token that opens room `room_id` only.
    void mint_for_room(uint32_t room_id, uint64_t expiry_seconds,
                       uint8_t (&out)[OPEN_TOKEN_ROOM_BYTES]) const;
    // Whether `payload` is a well-formed token with this key's MAC (compared in constant
    // time) and an expiry not before `now_seconds`; if so and `token` is not null, its fields.
    bool accepts(const uint8_t* payload, size_t length, uint64_t now_seconds,
                 OpenToken* token = nullptr) const;

  private:
    void mac(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const;

    bool is_set_ = false;
    // Large enough for libsodium's HMAC-SHA256 state (checked where it is used).
    alignas(16) uint8_t state_[512] = {};
};

}  // namespace kiv
