#include "client/roster.hpp"

namespace kiv::client {

size_t Roster::find(Tag tag) const {
    if (tag.value == 0 || tag.value > MAX_TAG) return CAPACITY;
    for (size_t i = 0; i < CAPACITY; ++i) {
        if (tags_[i] == tag.value) return i;
    }
    return CAPACITY;
}

void Roster::heard(Tag tag, uint64_t now_us) {
    size_t at = find(tag);
    if (at < CAPACITY) heard_us_[at] = now_us;
}

bool Roster::add(Tag tag, uint64_t now_us) {
    if (tag.value == 0 || tag.value > MAX_TAG) return false;
    if (knows(tag)) {
        heard(tag, now_us);
        return true;
    }
    size_t at = 0;
    while (at < CAPACITY && tags_[at] != 0)
        ++at;
    if (at == CAPACITY) return false;
    tags_[at] = uint16_t(tag.value);
    heard_us_[at] = now_us;
    uint64_t expiry_us = now_us + SILENCE_US + 1;
    if (expiry_us < no_expiry_before_us_) no_expiry_before_us_ = expiry_us;
    return true;
}

void Roster::remove(Tag tag) {
    size_t at = find(tag);
    if (at < CAPACITY) tags_[at] = 0;
}

Tag Roster::oldest() const {
    size_t found = CAPACITY;
    for (size_t i = 0; i < CAPACITY; ++i) {
        if (tags_[i] != 0 && (found == CAPACITY || heard_us_[i] < heard_us_[found])) found = i;
    }
    return found < CAPACITY ? Tag(tags_[found]) : Tag();
}

Tag Roster::expire(uint64_t now_us) {
    if (now_us < no_expiry_before_us_) return Tag();
    no_expiry_before_us_ = next_expiry_us();
    for (size_t i = 0; i < CAPACITY; ++i) {
        if (tags_[i] != 0 && now_us > heard_us_[i] && now_us - heard_us_[i] > SILENCE_US) {
            Tag gone(tags_[i]);
            tags_[i] = 0;
            return gone;
        }
    }
    return Tag();
}

uint64_t Roster::next_expiry_us() const {
    uint64_t next_us = UINT64_MAX;
    for (size_t i = 0; i < CAPACITY; ++i) {
        if (tags_[i] != 0 && heard_us_[i] + SILENCE_US + 1 < next_us) {
            next_us = heard_us_[i] + SILENCE_US + 1;
        }
    }
    return next_us;
}

void Roster::clear() {
    *this = Roster();
}

}  // namespace kiv::client
