#include "tunnel/path_line.hpp"

#include <cstdio>

#include "client/direct_path.hpp"

namespace kiv::tunnel {

bool path_line(const char* command, bool host, const client::Event& event, char* out, size_t size) {
    char whose[24] = "";
    if (host) snprintf(whose, sizeof whose, " (tag %u)", event.tag.value);
    if (event.kind == client::EventKind::path_direct) {
        char address[Peer::TEXT_CAPACITY];
        snprintf(out, size, "%s: direct path to %s%s (rtt %.1f ms)", command,
                 event.path_to.write_text(address, sizeof address), whose,
                 double(event.round_trip_us) / 1000.0);
        return true;
    }
    if (event.kind != client::EventKind::path_relayed) return false;
    if (event.error == client::Error::timed_out) {
        snprintf(out, size, "%s: path%s unanswered: fell back to the relay", command, whose);
    } else {
        snprintf(out, size, "%s: no answer to punching%s: relayed, trying again in %d s", command,
                 whose, int(client::PATH_RETRY_US / 1'000'000));
    }
    return true;
}

}  // namespace kiv::tunnel
