#include "relay/args.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "relay/hand_over.hpp"
#include "relay/join_cookie.hpp"
#include "wire/number_text.hpp"
#include "wire/open_token.hpp"
#include "wire/protocol.hpp"

namespace kiv {
namespace {

bool parse_port(const char* text, uint16_t* port) {
    return parse_decimal<uint16_t>(text, 0, 65535, port);
}

// A numeric address, IPv6 with or without brackets ("::", "[::1]").
Peer parse_address(const char* text, size_t length, uint16_t port) {
    char host[INET6_ADDRSTRLEN + 2];
    if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {
        ++text;
        length -= 2;
    }
    if (length == 0 || length >= sizeof host) return Peer{};
    memcpy(host, text, length);
    host[length] = '\0';
    return Peer::from_text(host, port);
}

// "[ADDR:]PORT" with ADDR an IPv4 address or a bracketed IPv6 one, 127.0.0.1 when left out.
bool parse_metrics_address(const char* text, Peer* address) {
    *address = Peer::loopback(0);
    const char* port_text = text;
    if (const char* colon = strrchr(text, ':')) {
        size_t length = size_t(colon - text);
        // A bare IPv6 address has colons of its own: only brackets tell where the port is.
        if (memchr(text, ':', length) != nullptr && text[0] != '[') return false;
        *address = parse_address(text, length, 0);
        if (!address->is_set()) return false;
        port_text = colon + 1;
    }
    uint16_t port = 0;
    if (!parse_port(port_text, &port)) return false;
    address->set_port(port);
    return true;
}

// What the command line says before any of it is judged: --help anywhere still wins over a
// bad address.
struct OptionTexts {
    bool port_given = false;
    const char* metrics = nullptr;
    const char* limits = "on";
    const char* bind = nullptr;
};

// The options that take a value, as "--name VALUE" or "--name=VALUE".
struct ValueOption {
    const char* name;
    const char* needs;  // for the reason when the value is missing
    const char** value;
};

// Reads argv[*index], and its value if the option takes one; RUN to go on reading.
Command read_argument(int argc, char** argv, int* index, OptionTexts* texts, Arguments* arguments,
                      char* reason, size_t reason_size) {
    const char* arg = argv[*index];
    if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return Command::HELP;
    if (strcmp(arg, "--version") == 0) return Command::VERSION;
    if (strcmp(arg, "--validate-joins") == 0) {
        arguments->validate_joins = true;
        return Command::RUN;
    }
    if (strcmp(arg, "--reflect") == 0) {
        arguments->reflect = true;
        return Command::RUN;
    }
    const ValueOption options[] = {
        {"--metrics", "[ADDR:]PORT", &texts->metrics},
        {"--limits", "on or off", &texts->limits},
        {"--open-key", "FILE", &arguments->open_key_path},
        {"--bind", "ADDR", &texts->bind},
    };
    for (const ValueOption& option : options) {
        size_t length = strlen(option.name);
        if (strncmp(arg, option.name, length) != 0) continue;
        if (arg[length] == '=') {
            *option.value = arg + length + 1;
            return Command::RUN;
        }
        if (arg[length] != '\0') continue;
        if (*index + 1 == argc) {
            snprintf(reason, reason_size, "%s needs %s", arg, option.needs);
            return Command::INVALID;
        }
        *option.value = argv[++*index];
        return Command::RUN;
    }
    if (strcmp(arg, "--hand-over") == 0) {
        arguments->hand_over = true;
        return Command::RUN;
    }
    if (strncmp(arg, "--", 2) == 0) {
        snprintf(reason, reason_size, "unknown option '%s'", arg);
        return Command::INVALID;
    }
    if (texts->port_given) {
        snprintf(reason, reason_size, "too many arguments");
        return Command::INVALID;
    }
    if (!parse_port(arg, &arguments->port)) {
        snprintf(reason, reason_size, "invalid port '%s' (expected 0-65535)", arg);
        return Command::INVALID;
    }
    texts->port_given = true;
    return Command::RUN;
}

// Judges the option values once every argument was read.
Command judge_texts(const OptionTexts& texts, Arguments* arguments, char* reason,
                    size_t reason_size) {
    if (texts.bind != nullptr) {
        arguments->bind = true;
        arguments->bind_address = parse_address(texts.bind, strlen(texts.bind), 0);
        if (!arguments->bind_address.is_set()) {
            snprintf(reason, reason_size,
                     "invalid bind address '%s' (expected an IPv4 or IPv6 address)", texts.bind);
            return Command::INVALID;
        }
    }
    if (texts.metrics != nullptr) {
        arguments->metrics = true;
        if (!parse_metrics_address(texts.metrics, &arguments->metrics_address)) {
            snprintf(reason, reason_size,
                     "invalid metrics address '%s' (expected [ADDR:]PORT, ADDR an IPv4 address "
                     "or [IPv6])",
                     texts.metrics);
            return Command::INVALID;
        }
    }
    if (strcmp(texts.limits, "on") != 0 && strcmp(texts.limits, "off") != 0) {
        snprintf(reason, reason_size, "invalid --limits '%s' (expected on or off)", texts.limits);
        return Command::INVALID;
    }
    arguments->limits = strcmp(texts.limits, "on") == 0;
    if (arguments->open_key_path != nullptr && !open_token_supported()) {
        snprintf(reason, reason_size, "--open-key: this build has no token support");
        return Command::INVALID;
    }
    if (arguments->hand_over && !hand_over_supported()) {
        snprintf(reason, reason_size, "--hand-over: this build has no hand-over support");
        return Command::INVALID;
    }
    if (arguments->validate_joins && !join_cookie_supported()) {
        snprintf(reason, reason_size, "--validate-joins: this build has no cookie support");
        return Command::INVALID;
    }
    return Command::RUN;
}

}  // namespace

Command parse_arguments(int argc, char** argv, Arguments* arguments, char* reason,
                        size_t reason_size) {
    *arguments = Arguments{DEFAULT_PORT};
    OptionTexts texts;
    for (int i = 1; i < argc; ++i) {
        Command command = read_argument(argc, argv, &i, &texts, arguments, reason, reason_size);
        if (command != Command::RUN) return command;
    }
    return judge_texts(texts, arguments, reason, reason_size);
}

}  // namespace kiv
