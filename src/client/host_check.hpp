// Knowing the room's host again after the relay was lost. A relay that restarts forgets who
// held a room, so a client that joins the same id afterwards, or whose next datagram simply
// lands in the room someone opened there since (the relay then lets it in without a word), may
// find someone else there: whoever asked for the id first. A host that names itself
// (set_identity) answers a client's question "who are you" with its identity; a client that
// checks (check_host) asks once it has joined, remembers the first answer, asks again every
// HOST_RECHECK_US, and after a re-join holds back its joined event, its sends and the host's
// datagrams until the same identity answers again. Another identity ends the join at once. A
// known host silent for HOST_SILENT_US loses the place, as a silent relay does: the client
// joins again and so asks before anything else; silence that long after a re-join ends it.
//
// Both are payloads of ordinary room datagrams, so only the two ends ever read them; numbers
// are little-endian:
//
//   question  "KIVI" 0x01 version 0 0                 8 bytes, client to host
//   answer    "KIVI" 0x02 version 0 0 identity(8)    16 bytes, host to client
//
// "KIVI" is neither the relay's "KIVR", the direct path's "KIVP" nor a tunnel frame. Only the
// room's host can send to a client, so an answer a client receives is its host's own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/retry.hpp"

namespace kiv::client {

inline constexpr size_t HOST_QUESTION_SIZE = 8;
inline constexpr size_t HOST_ANSWER_SIZE = 16;
// Questions a client asks, RETRY_US apart, of a host not known yet: one that answers none
// does not name itself, and is not asked again.
inline constexpr int HOST_CHECK_TRIES = 3;
// A known host is asked this often: a relay that restarted and let the client into someone
// else's room shows nothing else.
inline constexpr uint64_t HOST_RECHECK_US = 2'000'000;
// A known host that answers nothing for this long is not in the room (or the relay is gone).
inline constexpr uint64_t HOST_SILENT_US = DEFAULT_ANSWER_TIMEOUT_US;
static_assert(HOST_RECHECK_US * 2 <= HOST_SILENT_US, "one lost answer is no silence");

void host_question_write(uint8_t* out);
void host_answer_write(uint64_t identity, uint8_t* out);
bool is_host_question(const uint8_t* payload, size_t length);
// Whether `payload` is an answer; its identity into `identity` when it is.
bool host_answer_read(const uint8_t* payload, size_t length, uint64_t* identity);

// The client's side: what it knows of its host, and what it waits for.
class HostCheck {
  public:
    enum class Verdict : uint8_t {
        deliver,     // the application's datagram
        held,        // the host's datagram while its identity is in question: dropped
        consumed,    // an answer, taken here
        same_host,   // the awaited answer after a re-join, from the host joined first
        other_host,  // an answer naming another host
    };

    void enable(bool on) { enabled_ = on; }
    // The join went through. After a re-join a known host must answer before anything else;
    // returns whether the joined event waits for it.
    bool joined(bool rejoined, uint64_t now_us);
    // A datagram from the host.
    Verdict from_host(const uint8_t* payload, size_t length, uint64_t now_us);
    // Whether a question is due now; counts it.
    bool question_due(uint64_t now_us);
    enum class Silence : uint8_t { none, lost, gone };
    // A known host silent too long: the place is lost while joined, gone after a re-join.
    Silence silence(uint64_t now_us) const;
    bool verifying() const { return verifying_; }
    // When question_due or silence next has something to say; UINT64_MAX when nothing.
    uint64_t next_us() const;
    // Not in the room for now (lost, left): no questions until joined again.
    void pause() { asking_ = verifying_ = false; }
    // Another room, another host.
    void forget() {
        pause();
        identity_ = 0;
    }

  private:
    bool enabled_ = false;
    uint64_t identity_ = 0;  // the first answer; 0 until then
    bool asking_ = false;
    bool verifying_ = false;  // a re-join waits for the answer
    int asked_ = 0;           // of a host not known yet
    uint64_t next_question_us_ = 0;
    uint64_t heard_us_ = 0;  // the last answer, or the join
};

}  // namespace kiv::client
