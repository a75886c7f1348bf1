// What the kiv subcommands share: reading their arguments, their stop signals, reading typed
// lines, and printing what peers send in a form that is safe for a terminal.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <cstdint>

#include "client/resolve.hpp"
#include "wire/peer.hpp"
#include "wire/values.hpp"

namespace kiv::cli {

// Exit statuses: 0 done, 1 the relay refused or did not answer, 2 the command line was wrong.
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

// Every parser below writes the reason for a refusal into a caller-owned buffer.
struct Reason {
    char text[400];
};

// "HOST[:PORT]": a numeric IPv4 address, an IPv6 one ("[::1]:PORT", or "::1" without a port)
// or a name, resolved once, here, to every address it has (see RelayChoice); PORT defaults
// to 27017.
bool parse_relay_address(const char* text, client::RelayAddresses* relay, Reason* reason);
// A room as people give it: a 5-character code in either case, or a decimal id. A 5-digit
// id needs a leading zero ("012345"), since 5 characters are read as a code.
bool parse_room(const char* text, RoomId* room_id, Reason* reason);
// A decimal number within [minimum, maximum].
bool parse_number(const char* text, uint32_t minimum, uint32_t maximum, uint32_t* value);

// "ADDR:PORT" of a local endpoint: like a relay address, but the port must be given. With
// `any_port`, port 0 is allowed too, for a socket that takes whatever port is free.
bool parse_endpoint(const char* text, bool any_port, Peer* endpoint, Reason* reason);

// The hex that kiv token prints, as a token's bytes (41 of an any-room token, 45 of a
// room-bound one) and their count; the version is checked, not the MAC.
bool parse_open_token(const char* hex, uint8_t (&token)[45], size_t* length, Reason* reason);

// A subcommand's arguments as most tools read them: options before, between or after the
// operands, and "--" ending the options. Operands are kept in the order given.
class ArgumentScanner {
  public:
    static constexpr int MAX_OPERANDS = 8;
    // `short_options` in getopt's form without any leading '+', '-' or ':'.
    ArgumentScanner(int argc, char** argv, const char* short_options, const option* long_options);
    // The next option's code with its value in value(); -1 once every argument is read. A
    // '?' or ':' is an unknown option or a missing value: hand it to report_bad_option.
    int next();
    const char* value() const { return value_; }
    // Prints "kiv COMMAND: unknown option '-x'" or "...: option '--forward' needs a value"
    // and the usage, and returns EXIT_USAGE.
    int report_bad_option(int code, const char* usage) const;

    int operand_count() const { return operand_count_; }
    const char* operand(int index) const { return operands_[index]; }

  private:
    void add_operand(const char* text);

    int argc_;
    char** argv_;
    char short_options_[32];
    const option* long_options_;
    const char* value_ = nullptr;
    const char* operands_[MAX_OPERANDS] = {};
    int operand_count_ = 0;  // beyond MAX_OPERANDS only counted, for the usage error
};

// SIGINT and SIGTERM end the commands cleanly: they only set a flag that the loop looks at,
// and interrupt its wait.
void catch_stop_signals();
int stop_signal();  // the signal caught, or 0

// Lines from a descriptor without blocking. A line longer than the buffer is dropped whole
// and reported, never cut in two.
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    bool at_end() const { return at_end_ && taken_ == used_; }
    // Reads what is waiting, after the caller has taken every complete line.
    void fill();
    // The next complete line without its newline, or false when none is ready.
    bool next(const char** line, size_t* length, bool* too_long);

  private:
    int fd_;
    bool at_end_ = false;
    bool discarding_ = false;  // inside a line that overflowed the buffer
    size_t used_ = 0;
    size_t taken_ = 0;  // bytes at the front already handed out
    char buffer_[4096];
};

// A peer's payload as text that cannot drive a terminal: UTF-8 is decoded, and invalid
// sequences, C0 controls (but tab), DEL, C1 controls, U+2028/U+2029 and the bidirectional
// controls each become '?'; everything else is copied as sent. `out` holds at least `length`
// bytes (the text is never longer); returns how many it holds.
size_t printable_text(const uint8_t* payload, size_t length, char* out);
// Writes a peer's payload as one line of printable_text on standard output and flushes it.
void print_payload(const char* prefix, const uint8_t* payload, size_t length);

}  // namespace kiv::cli
