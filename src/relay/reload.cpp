#include "relay/reload.hpp"

#include <time.h>

#include <array>
#include <cstring>

#include "relay/log.hpp"
#include "wire/open_key_file.hpp"

namespace kiv {
namespace {

// Keys live here, fixed like the rest: the running one, the replaced one in its grace, and
// one to read a new file into, which leaves the other two untouched if the file is refused.
std::array<OpenKey, 3> keys;

OpenKey* spare_key(const OpenGate& gate) {
    for (OpenKey& key : keys) {
        if (&key != gate.key() && &key != gate.previous_key()) return &key;
    }
    return nullptr;
}

// Two keys are the same key when they make the same MAC.
bool same_key(const OpenKey& a, const OpenKey& b) {
    uint8_t token_a[OPEN_TOKEN_BYTES];
    uint8_t token_b[OPEN_TOKEN_BYTES];
    a.mint(0, token_a);
    b.mint(0, token_b);
    return memcmp(token_a, token_b, sizeof token_a) == 0;
}

}  // namespace

void reload_settings(const Arguments& arguments, Relay& relay, uint64_t now_seconds) {
    const char* limits = arguments.limits ? "on" : "off";
    OpenGate& gate = relay.open_gate();
    if (arguments.open_key_path == nullptr) {
        logf_("reload: nothing changed (no open key; limits %s, from the command line)", limits);
        return;
    }
    OpenKey* read = spare_key(gate);
    char why[512];
    if (!open_key_load(arguments.open_key_path, read, why, sizeof why)) {
        logf_("reload refused: %s; the running key stays", why);
        return;
    }
    if (gate.key() != nullptr && same_key(*read, *gate.key())) {
        logf_("reload: nothing changed (open key %s the same; limits %s, from the command line)",
              arguments.open_key_path, limits);
        return;
    }
    uint64_t until = now_seconds + REPLACED_KEY_GRACE_SECONDS;
    gate.rotate(read, until);
    // The local time, as the log's stamps give it; localtime_r reads no file once tzset ran.
    time_t until_time = time_t(until);
    struct tm local {};
    char shown[32] = "?";
    if (localtime_r(&until_time, &local) != nullptr)
        strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", &local);
    logf_("reload: open key %s replaced; tokens of the old key stay good until %s at most",
          arguments.open_key_path, shown);
}

}  // namespace kiv
