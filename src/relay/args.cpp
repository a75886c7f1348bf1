#include "relay/args.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "relay/hand_over.hpp"
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

}  // namespace

Command parse_arguments(int argc, char** argv, Arguments* arguments, char* reason,
                        size_t reason_size) {
    *arguments = Arguments{DEFAULT_PORT};
    bool port_given = false;
    const char* metrics_text = nullptr;
    const char* limits_text = "on";
    const char* bind_text = nullptr;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) return Command::HELP;
        if (strcmp(arg, "--version") == 0) return Command::VERSION;
        if (strcmp(arg, "--metrics") == 0) {
            if (i + 1 == argc) {
                snprintf(reason, reason_size, "--metrics needs [ADDR:]PORT");
                return Command::INVALID;
            }
            metrics_text = argv[++i];
        } else if (strncmp(arg, "--metrics=", 10) == 0) {
            metrics_text = arg + 10;
        } else if (strcmp(arg, "--limits") == 0 || strcmp(arg, "--open-key") == 0) {
            bool limits = arg[2] == 'l';
            if (i + 1 == argc) {
                snprintf(reason, reason_size, "%s needs %s", arg, limits ? "on or off" : "FILE");
                return Command::INVALID;
            }
            (limits ? limits_text : arguments->open_key_path) = argv[++i];
        } else if (strncmp(arg, "--limits=", 9) == 0) {
            limits_text = arg + 9;
        } else if (strncmp(arg, "--open-key=", 11) == 0) {
            arguments->open_key_path = arg + 11;
        } else if (strcmp(arg, "--bind") == 0) {
            if (i + 1 == argc) {
                snprintf(reason, reason_size, "--bind needs ADDR");
                return Command::INVALID;
            }
            bind_text = argv[++i];
        } else if (strncmp(arg, "--bind=", 7) == 0) {
            bind_text = arg + 7;
        } else if (strcmp(arg, "--hand-over") == 0) {
            arguments->hand_over = true;
        } else if (strncmp(arg, "--", 2) == 0) {
            snprintf(reason, reason_size, "unknown option '%s'", arg);
            return Command::INVALID;
        } else if (port_given) {
            snprintf(reason, reason_size, "too many arguments");
            return Command::INVALID;
        } else if (!parse_port(arg, &arguments->port)) {
            snprintf(reason, reason_size, "invalid port '%s' (expected 0-65535)", arg);
            return Command::INVALID;
        } else {
            port_given = true;
        }
    }
    // Addresses are judged only once every argument was read: --help anywhere still wins.
    if (bind_text != nullptr) {
        arguments->bind = true;
        arguments->bind_address = parse_address(bind_text, strlen(bind_text), 0);
        if (!arguments->bind_address.is_set()) {
            snprintf(reason, reason_size,
                     "invalid bind address '%s' (expected an IPv4 or IPv6 address)", bind_text);
            return Command::INVALID;
        }
    }
    if (metrics_text != nullptr) {
        arguments->metrics = true;
        if (!parse_metrics_address(metrics_text, &arguments->metrics_address)) {
            snprintf(reason, reason_size,
                     "invalid metrics address '%s' (expected [ADDR:]PORT, ADDR an IPv4 address "
                     "or [IPv6])",
                     metrics_text);
            return Command::INVALID;
        }
    }
    if (strcmp(limits_text, "on") != 0 && strcmp(limits_text, "off") != 0) {
        snprintf(reason, reason_size, "invalid --limits '%s' (expected on or off)", limits_text);
        return Command::INVALID;
    }
    arguments->limits = strcmp(limits_text, "on") == 0;
    if (arguments->open_key_path != nullptr && !open_token_supported()) {
        snprintf(reason, reason_size, "--open-key: this build has no token support");
        return Command::INVALID;
    }
    if (arguments->hand_over && !hand_over_supported()) {
        snprintf(reason, reason_size, "--hand-over: this build has no hand-over support");
        return Command::INVALID;
    }
    return Command::RUN;
}

}  // namespace kiv
