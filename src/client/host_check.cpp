#include "client/host_check.hpp"

#include <cstring>

#include "wire/protocol.hpp"

namespace kiv::client {
namespace {

constexpr uint8_t MAGIC[4] = {'K', 'I', 'V', 'I'};
constexpr uint8_t VERSION = 1;
constexpr uint8_t QUESTION = 0x01;
constexpr uint8_t ANSWER = 0x02;

void store_identity(uint8_t* out, uint64_t identity) {
    store_le32(out, uint32_t(identity));
    store_le32(out + 4, uint32_t(identity >> 32));
}

uint64_t load_identity(const uint8_t* bytes) {
    return load_le32(bytes) | uint64_t(load_le32(bytes + 4)) << 32;
}

void write_head(uint8_t kind, uint8_t* out) {
    memcpy(out, MAGIC, sizeof MAGIC);
    out[4] = kind;
    out[5] = VERSION;
    out[6] = 0;
    out[7] = 0;
}

bool has_head(uint8_t kind, const uint8_t* payload, size_t length, size_t size) {
    return length == size && memcmp(payload, MAGIC, sizeof MAGIC) == 0 && payload[4] == kind &&
           payload[5] == VERSION;
}

}  // namespace

void host_question_write(uint8_t* out) {
    write_head(QUESTION, out);
}

void host_answer_write(uint64_t identity, uint8_t* out) {
    write_head(ANSWER, out);
    store_identity(out + 8, identity);
}

bool is_host_question(const uint8_t* payload, size_t length) {
    return has_head(QUESTION, payload, length, HOST_QUESTION_SIZE);
}

bool host_answer_read(const uint8_t* payload, size_t length, uint64_t* identity) {
    if (!has_head(ANSWER, payload, length, HOST_ANSWER_SIZE)) return false;
    *identity = load_identity(payload + 8);
    return true;
}

bool HostCheck::joined(bool rejoined, uint64_t now_us) {
    if (!enabled_) return false;
    asking_ = true;
    asked_ = 0;
    next_question_us_ = now_us;
    heard_us_ = now_us;
    // A host that never answered (one that does not name itself) cannot be checked.
    verifying_ = rejoined && identity_ != 0;
    return verifying_;
}

HostCheck::Verdict HostCheck::from_host(const uint8_t* payload, size_t length, uint64_t now_us) {
    uint64_t identity = 0;
    if (!enabled_ || !host_answer_read(payload, length, &identity)) {
        return verifying_ ? Verdict::held : Verdict::deliver;
    }
    if (!asking_) return Verdict::consumed;  // late, from before a loss
    if (identity_ == 0) identity_ = identity;
    if (identity != identity_) {
        forget();
        return Verdict::other_host;
    }
    heard_us_ = now_us;
    bool awaited = verifying_;
    verifying_ = false;
    return awaited ? Verdict::same_host : Verdict::consumed;
}

bool HostCheck::question_due(uint64_t now_us) {
    if (!asking_ || now_us < next_question_us_) return false;
    if (identity_ == 0 && asked_ >= HOST_CHECK_TRIES) return false;
    ++asked_;
    next_question_us_ = now_us + (identity_ != 0 && !verifying_ ? HOST_RECHECK_US : RETRY_US);
    return true;
}

HostCheck::Silence HostCheck::silence(uint64_t now_us) const {
    if (!asking_ || identity_ == 0 || now_us - heard_us_ < HOST_SILENT_US) return Silence::none;
    return verifying_ ? Silence::gone : Silence::lost;
}

uint64_t HostCheck::next_us() const {
    if (!asking_) return UINT64_MAX;
    if (identity_ == 0) return asked_ < HOST_CHECK_TRIES ? next_question_us_ : UINT64_MAX;
    uint64_t silent_us = heard_us_ + HOST_SILENT_US;
    return next_question_us_ < silent_us ? next_question_us_ : silent_us;
}

}  // namespace kiv::client
