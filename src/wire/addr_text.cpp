#include "wire/addr_text.hpp"

namespace kiv {

const char* addr_str(const Peer& peer) {
    static char buffers[2][Peer::TEXT_CAPACITY];
    static int index = 0;
    index ^= 1;
    return peer.write_text(buffers[index], sizeof buffers[index]);
}

}  // namespace kiv
