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
// It is the whole payload of the MSG_OPEN that carries it: exactly OPEN_TOKEN_BYTES.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

inline constexpr uint8_t OPEN_TOKEN_VERSION = 1;
inline constexpr size_t OPEN_TOKEN_MAC_BYTES = 32;
inline constexpr size_t OPEN_TOKEN_BYTES = 1 + 8 + OPEN_TOKEN_MAC_BYTES;
// What the MAC covers before the version and expiry, so that a MAC made with the same key
// for some other purpose can never pass for a token.
inline constexpr char OPEN_TOKEN_LABEL[] = "kiv open token";
inline constexpr size_t OPEN_TOKEN_LABEL_BYTES = sizeof OPEN_TOKEN_LABEL - 1;
// The bytes the MAC covers: label, version, expiry.
inline constexpr size_t OPEN_TOKEN_SIGNED_BYTES = OPEN_TOKEN_LABEL_BYTES + 1 + 8;
// A key file is at least this long and at most OPEN_KEY_MAX_BYTES.
inline constexpr size_t OPEN_KEY_MIN_BYTES = 32;
inline constexpr size_t OPEN_KEY_MAX_BYTES = 4096;

struct OpenToken {
    uint8_t version;
    uint64_t expiry_seconds;
    uint8_t mac[OPEN_TOKEN_MAC_BYTES];
};

// Splits a payload into its fields: false unless it is exactly OPEN_TOKEN_BYTES long and of
// OPEN_TOKEN_VERSION. Says nothing about the MAC or the expiry.
bool open_token_parse(const uint8_t* payload, size_t length, OpenToken* token);
// The bytes the MAC of `version` and `expiry_seconds` covers.
void open_token_signed_bytes(uint8_t version, uint64_t expiry_seconds,
                             uint8_t (&out)[OPEN_TOKEN_SIGNED_BYTES]);
// A token's bytes from its fields.
void open_token_write(const OpenToken& token, uint8_t (&out)[OPEN_TOKEN_BYTES]);

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
    // Whether `payload` is a well-formed token with this key's MAC (compared in constant
    // time) and an expiry not before `now_seconds`.
    bool accepts(const uint8_t* payload, size_t length, uint64_t now_seconds) const;

  private:
    void mac(uint8_t version, uint64_t expiry_seconds, uint8_t (&out)[OPEN_TOKEN_MAC_BYTES]) const;

    bool is_set_ = false;
    // Large enough for libsodium's HMAC-SHA256 state (checked where it is used).
    alignas(16) uint8_t state_[512] = {};
};

}  // namespace kiv
