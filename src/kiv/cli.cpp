#include "kiv/cli.hpp"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "client/resolve.hpp"
#include "wire/number_text.hpp"
#include "wire/protocol.hpp"
#include "wire/room_code.hpp"

namespace kiv::cli {

bool parse_number(const char* text, uint32_t minimum, uint32_t maximum, uint32_t* value) {
    return parse_decimal(text, minimum, maximum, value);
}

bool parse_relay_address(const char* text, client::RelayAddresses* relay, Reason* reason) {
    char host[256];
    uint16_t port = 0;
    if (client::split_host_port(text, DEFAULT_PORT, 1, host, sizeof host, &port) ==
        client::ResolveError::bad_port) {
        snprintf(reason->text, sizeof reason->text, "invalid port '%s' in '%s' (expected 1-65535)",
                 strrchr(text, ':') + 1, text);
        return false;
    }
    switch (client::resolve_relay_addresses(text, DEFAULT_PORT, relay)) {
        case client::ResolveError::none:
            return true;
        case client::ResolveError::no_host:
        case client::ResolveError::bad_port:
            snprintf(reason->text, sizeof reason->text, "no host name in '%s'", text);
            return false;
        case client::ResolveError::not_found:
            snprintf(reason->text, sizeof reason->text, "cannot resolve host '%s'", host);
            return false;
    }
    return false;
}

bool parse_endpoint(const char* text, bool any_port, Peer* endpoint, Reason* reason) {
    char host[256];
    uint16_t port = 0;
    bool port_given = false;
    client::ResolveError split =
        client::split_host_port(text, 0, any_port ? 0 : 1, host, sizeof host, &port, &port_given);
    if (split == client::ResolveError::none && !port_given) {
        snprintf(reason->text, sizeof reason->text, "expected ADDR:PORT, got '%s'", text);
        return false;
    }
    if (split == client::ResolveError::bad_port) {
        snprintf(reason->text, sizeof reason->text, "invalid port '%s' in '%s' (expected %s-65535)",
                 strrchr(text, ':') + 1, text, any_port ? "0" : "1");
        return false;
    }
    if (split != client::ResolveError::none) {
        snprintf(reason->text, sizeof reason->text, "no host name in '%s'", text);
        return false;
    }
    if (client::resolve_endpoint(text, any_port, endpoint) != client::ResolveError::none) {
        snprintf(reason->text, sizeof reason->text, "cannot resolve host '%s'", host);
        return false;
    }
    return true;
}

ArgumentScanner::ArgumentScanner(int argc, char** argv, const char* short_options,
                                 const option* long_options)
    : argc_(argc), argv_(argv), long_options_(long_options) {
    // '-' hands each operand back in place (code 1), which keeps their order and needs no
    // permuting of argv; ':' tells a missing value from an unknown option.
    snprintf(short_options_, sizeof short_options_, "-:%s", short_options);
    opterr = 0;
    optind = 1;
}

void ArgumentScanner::add_operand(const char* text) {
    if (operand_count_ < MAX_OPERANDS) operands_[operand_count_] = text;
    ++operand_count_;
}

int ArgumentScanner::next() {
    for (;;) {
        int code = getopt_long(argc_, argv_, short_options_, long_options_, nullptr);
        if (code == 1) {
            add_operand(optarg);
            continue;
        }
        if (code == -1) {
            // After "--" everything left is an operand, even when it starts with '-'.
            while (optind < argc_)
                add_operand(argv_[optind++]);
            if (operand_count_ > MAX_OPERANDS) operand_count_ = MAX_OPERANDS + 1;
            return -1;
        }
        value_ = optarg;
        return code;
    }
}

int ArgumentScanner::report_bad_option(int code, const char* usage) const {
    const char* given = argv_[optind - 1];
    if (code == ':') {
        fprintf(stderr, "kiv %s: option '%s' needs a value\n%s\n", argv_[0], given, usage);
    } else if (optopt != 0) {
        fprintf(stderr, "kiv %s: unknown option '-%c'\n%s\n", argv_[0], optopt, usage);
    } else {
        fprintf(stderr, "kiv %s: unknown option '%s'\n%s\n", argv_[0], given, usage);
    }
    return EXIT_USAGE;
}

bool parse_room(const char* text, RoomId* room_id, Reason* reason) {
    if (strlen(text) == CODE_LENGTH) {
        CodeParse code = room_code_parse(text);
        if (code.error == CodeError::none) {
            *room_id = code.id;
            return true;
        }
        snprintf(reason->text, sizeof reason->text,
                 "room code '%s' has '%c' at position %zu; codes use A-Z without I and O, "
                 "and 2-9",
                 text, text[code.position], code.position + 1);
        return false;
    }
    uint32_t number = 0;
    if (parse_number(text, 1, MAX_ROOM_ID, &number)) {
        *room_id = RoomId(number);
        return true;
    }
    snprintf(reason->text, sizeof reason->text,
             "invalid room '%s' (expected a 5-character code or an id from 1 to %u)", text,
             MAX_ROOM_ID);
    return false;
}

namespace {

volatile sig_atomic_t caught_signal = 0;

void on_stop_signal(int signal_number) {
    caught_signal = signal_number;
}

}  // namespace

void catch_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the signal must cut the wait short
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    // Blocked outside the waits, which let them in (see Wake): one that comes between a look
    // at the flag and the wait is held back until the wait starts and then cuts it short.
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
}

int stop_signal() {
    return caught_signal;
}

void LineReader::fill() {
    if (at_end_) return;
    if (taken_ > 0) {
        memmove(buffer_, buffer_ + taken_, used_ - taken_);
        used_ -= taken_;
        taken_ = 0;
    }
    if (used_ == sizeof buffer_) {
        // A line longer than the whole buffer: drop what is held and the rest up to its end.
        discarding_ = true;
        used_ = 0;
    }
    ssize_t n = read(fd_, buffer_ + used_, sizeof buffer_ - used_);
    if (n == 0) at_end_ = true;
    if (n < 0 && errno != EAGAIN && errno != EINTR) at_end_ = true;
    if (n > 0) used_ += size_t(n);
}

bool LineReader::next(const char** line, size_t* length, bool* too_long) {
    char* start = buffer_ + taken_;
    size_t waiting = used_ - taken_;
    char* end = static_cast<char*>(memchr(start, '\n', waiting));
    if (end == nullptr) {
        // Input that ends without a newline still ends its last line.
        if (!at_end_ || waiting == 0) return false;
        end = start + waiting;
    }
    size_t line_length = size_t(end - start);
    taken_ += line_length + (line_length < waiting ? 1 : 0);
    // The tail of a line whose head was dropped is reported, not passed off as a line.
    *too_long = discarding_;
    discarding_ = false;
    *line = start;
    *length = line_length;
    return true;
}

namespace {

// The length of the UTF-8 sequence that starts at `text`, or 0 when it is invalid (a stray
// continuation byte, an overlong form, a surrogate, beyond U+10FFFF or cut short).
size_t utf8_sequence(const uint8_t* text, size_t left, uint32_t* code_point) {
    uint8_t lead = text[0];
    size_t length;
    uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high) return 0;
    uint32_t value = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) return 0;
        value = value << 6 | (text[i] & 0x3F);
    }
    *code_point = value;
    return length;
}

// Characters that steer a terminal or reorder what it shows rather than print: the C1
// controls, the line and paragraph separators, and the bidirectional embeddings, overrides
// and isolates.
bool steers_terminal(uint32_t code_point) {
    return (code_point >= 0x80 && code_point <= 0x9F) || code_point == 0x2028 ||
           code_point == 0x2029 || (code_point >= 0x202A && code_point <= 0x202E) ||
           (code_point >= 0x2066 && code_point <= 0x2069);
}

}  // namespace

size_t printable_text(const uint8_t* payload, size_t length, char* out) {
    size_t written = 0;
    for (size_t i = 0; i < length;) {
        uint8_t c = payload[i];
        if (c < 0x80) {
            bool control = (c < 0x20 && c != '\t') || c == 0x7F;
            out[written++] = control ? '?' : char(c);
            ++i;
            continue;
        }
        uint32_t code_point = 0;
        size_t sequence = utf8_sequence(payload + i, length - i, &code_point);
        if (sequence == 0 || steers_terminal(code_point)) {
            out[written++] = '?';
            i += sequence == 0 ? 1 : sequence;
            continue;
        }
        for (size_t k = 0; k < sequence; ++k)
            out[written++] = char(payload[i + k]);
        i += sequence;
    }
    return written;
}

void print_payload(const char* prefix, const uint8_t* payload, size_t length) {
    char text[MAX_DATAGRAM];
    if (length > sizeof text) length = sizeof text;  // payloads are shorter; never overrun
    size_t shown = printable_text(payload, length, text);
    fputs(prefix, stdout);
    fwrite(text, 1, shown, stdout);
    putchar('\n');
    fflush(stdout);
}

}  // namespace kiv::cli
