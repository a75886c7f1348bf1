// The C interface: each function checks its pointers, calls the C++ endpoint and copies the
// result into the plain structs of kiv.h. The status values are the C++ error values, so a
// status passes through with a cast.
#include "client/kiv.h"

#include <cstdlib>
#include <new>

#include "client/kiv_client.hpp"
#include "client/resolve.hpp"
#include "wire/room_code.hpp"

namespace client = kiv::client;
using client::Error;
using client::EventKind;

// The endpoint's kind, first in every handle; the C++ endpoint follows in the derived struct.
struct kiv_endpoint {
    enum class Role : uint8_t { host, client, pinger };
    Role role;
};

namespace {

struct HostEndpoint : kiv_endpoint {
    client::Host host;
};
struct ClientEndpoint : kiv_endpoint {
    client::Client client;
};
struct PingerEndpoint : kiv_endpoint {
    client::Pinger pinger;
};

constexpr kiv_status status_of(Error error) {
    return kiv_status(error);
}

// The C values are fixed by the header; these keep the C++ ones in step with them.
static_assert(status_of(Error::none) == KIV_OK);
static_assert(status_of(Error::no_room) == KIV_ERR_NO_ROOM);
static_assert(status_of(Error::room_full) == KIV_ERR_ROOM_FULL);
static_assert(status_of(Error::no_free_room) == KIV_ERR_NO_FREE_ROOM);
static_assert(status_of(Error::bad_version) == KIV_ERR_BAD_VERSION);
static_assert(status_of(Error::not_allowed) == KIV_ERR_NOT_ALLOWED);
static_assert(status_of(Error::unknown_refusal) == KIV_ERR_UNKNOWN_REFUSAL);
static_assert(status_of(Error::timed_out) == KIV_ERR_TIMED_OUT);
static_assert(status_of(Error::too_large) == KIV_ERR_TOO_LARGE);
static_assert(status_of(Error::too_many) == KIV_ERR_TOO_MANY);
static_assert(status_of(Error::bad_tag) == KIV_ERR_BAD_TAG);
static_assert(status_of(Error::bad_room) == KIV_ERR_BAD_ROOM);
static_assert(status_of(Error::not_ready) == KIV_ERR_NOT_READY);
static_assert(status_of(Error::system) == KIV_ERR_SYSTEM);
static_assert(status_of(Error::other_host) == KIV_ERR_OTHER_HOST);
static_assert(status_of(Error::no_host) == KIV_ERR_NO_HOST);
static_assert(int(client::EventKind::client_left) == KIV_EVENT_CLIENT_LEFT);
static_assert(int(client::EventKind::lost) == KIV_EVENT_LOST);
static_assert(int(client::EventKind::path_direct) == KIV_EVENT_PATH_DIRECT);
static_assert(int(client::EventKind::path_relayed) == KIV_EVENT_PATH_RELAYED);
static_assert(client::MAX_PAYLOAD == KIV_MAX_PAYLOAD);
static_assert(client::SEND_BATCH == KIV_SEND_BATCH);
static_assert(kiv::CODE_LENGTH + 1 == KIV_CODE_SIZE);
static_assert(kiv::DEFAULT_PORT == KIV_DEFAULT_PORT);
static_assert(client::DEFAULT_ANSWER_TIMEOUT_US == KIV_DEFAULT_TIMEOUT_US);
// A kiv_buffer is passed on as the iovec the C++ batch takes.
static_assert(sizeof(kiv_buffer) == sizeof(iovec));
static_assert(offsetof(kiv_buffer, data) == offsetof(iovec, iov_base));
static_assert(offsetof(kiv_buffer, length) == offsetof(iovec, iov_len));

HostEndpoint* as_host(kiv_endpoint* endpoint) {
    return static_cast<HostEndpoint*>(endpoint);
}
ClientEndpoint* as_client(kiv_endpoint* endpoint) {
    return static_cast<ClientEndpoint*>(endpoint);
}
PingerEndpoint* as_pinger(kiv_endpoint* endpoint) {
    return static_cast<PingerEndpoint*>(endpoint);
}

client::Link& link_of(kiv_endpoint* endpoint) {
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            return as_host(endpoint)->host;
        case kiv_endpoint::Role::client:
            return as_client(endpoint)->client;
        case kiv_endpoint::Role::pinger:
            break;
    }
    return as_pinger(endpoint)->pinger;
}
const client::Link& link_of(const kiv_endpoint* endpoint) {
    return link_of(const_cast<kiv_endpoint*>(endpoint));
}

// The handle comes from malloc rather than operator new, so that the library needs nothing of
// the C++ runtime and a failed allocation is a status, not an exception.
template <class Endpoint>
kiv_status create(kiv_endpoint** endpoint, kiv_endpoint::Role role) {
    if (endpoint == nullptr) return KIV_ERR_NULL;
    *endpoint = nullptr;
    void* memory = malloc(sizeof(Endpoint));
    if (memory == nullptr) return KIV_ERR_NO_MEMORY;
    Endpoint* made = new (memory) Endpoint();
    made->role = role;
    *endpoint = made;
    return KIV_OK;
}

uint64_t timeout_or_default(uint64_t timeout_us) {
    return timeout_us == 0 ? client::DEFAULT_ANSWER_TIMEOUT_US : timeout_us;
}

void write_event(const client::Event& from, kiv_event* to) {
    *to = kiv_event{int32_t(from.kind), int32_t(from.error), from.room.value, from.tag.value,
                    from.round_trip_us, from.payload,        from.length};
}

}  // namespace

extern "C" {

kiv_status kiv_host_create(kiv_endpoint** endpoint) {
    return create<HostEndpoint>(endpoint, kiv_endpoint::Role::host);
}

kiv_status kiv_client_create(kiv_endpoint** endpoint) {
    return create<ClientEndpoint>(endpoint, kiv_endpoint::Role::client);
}

kiv_status kiv_pinger_create(kiv_endpoint** endpoint) {
    return create<PingerEndpoint>(endpoint, kiv_endpoint::Role::pinger);
}

kiv_status kiv_destroy(kiv_endpoint* endpoint) {
    if (endpoint == nullptr) return KIV_OK;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            as_host(endpoint)->~HostEndpoint();
            break;
        case kiv_endpoint::Role::client:
            as_client(endpoint)->~ClientEndpoint();
            break;
        case kiv_endpoint::Role::pinger:
            as_pinger(endpoint)->~PingerEndpoint();
            break;
    }
    free(endpoint);
    return KIV_OK;
}

kiv_status kiv_connect(kiv_endpoint* endpoint, const void* address, size_t length) {
    if (endpoint == nullptr || address == nullptr) return KIV_ERR_NULL;
    kiv::Peer relay = kiv::Peer::from_sockaddr(
        static_cast<const sockaddr*>(address),
        socklen_t(length > sizeof(sockaddr_storage) ? sizeof(sockaddr_storage) : length));
    if (!relay.is_set()) return KIV_ERR_BAD_ADDRESS;
    return status_of(link_of(endpoint).connect(relay));
}

kiv_status kiv_connect_text(kiv_endpoint* endpoint, const char* host_port) {
    if (endpoint == nullptr || host_port == nullptr) return KIV_ERR_NULL;
    kiv::Peer relay;
    if (client::resolve_relay(host_port, kiv::DEFAULT_PORT, &relay) != client::ResolveError::none) {
        return KIV_ERR_BAD_ADDRESS;
    }
    return status_of(link_of(endpoint).connect(relay));
}

kiv_status kiv_open(kiv_endpoint* host, uint32_t requested_room, uint64_t now_us,
                    uint64_t timeout_us) {
    if (host == nullptr) return KIV_ERR_NULL;
    if (host->role != kiv_endpoint::Role::host) return KIV_ERR_WRONG_ENDPOINT;
    return status_of(as_host(host)->host.open(kiv::RoomId(requested_room), now_us,
                                              timeout_or_default(timeout_us)));
}

kiv_status kiv_set_direct(kiv_endpoint* endpoint, int on) {
    if (endpoint == nullptr) return KIV_ERR_NULL;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            return status_of(as_host(endpoint)->host.set_direct(on != 0));
        case kiv_endpoint::Role::client:
            return status_of(as_client(endpoint)->client.set_direct(on != 0));
        case kiv_endpoint::Role::pinger:
            break;
    }
    return KIV_ERR_WRONG_ENDPOINT;
}

kiv_status kiv_join(kiv_endpoint* client, uint32_t room_id, uint64_t now_us, uint64_t timeout_us) {
    if (client == nullptr) return KIV_ERR_NULL;
    if (client->role != kiv_endpoint::Role::client) return KIV_ERR_WRONG_ENDPOINT;
    return status_of(as_client(client)->client.join(kiv::RoomId(room_id), now_us,
                                                    timeout_or_default(timeout_us)));
}

kiv_status kiv_set_identity(kiv_endpoint* host, uint64_t identity) {
    if (host == nullptr) return KIV_ERR_NULL;
    if (host->role != kiv_endpoint::Role::host) return KIV_ERR_WRONG_ENDPOINT;
    as_host(host)->host.set_identity(identity);
    return KIV_OK;
}

kiv_status kiv_set_check_host(kiv_endpoint* client, int on) {
    if (client == nullptr) return KIV_ERR_NULL;
    if (client->role != kiv_endpoint::Role::client) return KIV_ERR_WRONG_ENDPOINT;
    as_client(client)->client.check_host(on != 0);
    return KIV_OK;
}

kiv_status kiv_ping(kiv_endpoint* pinger, uint64_t now_us, uint64_t timeout_us) {
    if (pinger == nullptr) return KIV_ERR_NULL;
    if (pinger->role != kiv_endpoint::Role::pinger) return KIV_ERR_WRONG_ENDPOINT;
    return status_of(as_pinger(pinger)->pinger.start(now_us, timeout_or_default(timeout_us)));
}

kiv_status kiv_send(kiv_endpoint* endpoint, uint32_t tag, const void* payload, size_t length,
                    uint64_t now_us) {
    if (endpoint == nullptr || (payload == nullptr && length > 0)) return KIV_ERR_NULL;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            return status_of(as_host(endpoint)->host.send(kiv::Tag(tag), payload, length, now_us));
        case kiv_endpoint::Role::client:
            return status_of(as_client(endpoint)->client.send(payload, length, now_us));
        case kiv_endpoint::Role::pinger:
            break;
    }
    return KIV_ERR_WRONG_ENDPOINT;
}

kiv_status kiv_send_batch(kiv_endpoint* endpoint, uint32_t tag, const kiv_buffer* payloads,
                          size_t count, uint64_t now_us) {
    if (endpoint == nullptr || (payloads == nullptr && count > 0)) return KIV_ERR_NULL;
    for (size_t i = 0; i < count && i < KIV_SEND_BATCH; ++i) {
        if (payloads[i].data == nullptr && payloads[i].length > 0) return KIV_ERR_NULL;
    }
    auto* batch = reinterpret_cast<const iovec*>(payloads);
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            return status_of(
                as_host(endpoint)->host.send_batch(kiv::Tag(tag), batch, count, now_us));
        case kiv_endpoint::Role::client:
            return status_of(as_client(endpoint)->client.send_batch(batch, count, now_us));
        case kiv_endpoint::Role::pinger:
            break;
    }
    return KIV_ERR_WRONG_ENDPOINT;
}

kiv_status kiv_close(kiv_endpoint* endpoint) {
    if (endpoint == nullptr) return KIV_ERR_NULL;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            return status_of(as_host(endpoint)->host.close());
        case kiv_endpoint::Role::client:
            return status_of(as_client(endpoint)->client.leave());
        case kiv_endpoint::Role::pinger:
            break;
    }
    return KIV_ERR_WRONG_ENDPOINT;
}

kiv_status kiv_fd(const kiv_endpoint* endpoint, int* fd) {
    if (endpoint == nullptr || fd == nullptr) return KIV_ERR_NULL;
    *fd = link_of(endpoint).fd();
    return KIV_OK;
}

kiv_status kiv_wait_ms(const kiv_endpoint* endpoint, uint64_t now_us, int* wait_ms) {
    if (endpoint == nullptr || wait_ms == nullptr) return KIV_ERR_NULL;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            *wait_ms = static_cast<const HostEndpoint*>(endpoint)->host.wait_ms(now_us);
            break;
        case kiv_endpoint::Role::client:
            *wait_ms = static_cast<const ClientEndpoint*>(endpoint)->client.wait_ms(now_us);
            break;
        case kiv_endpoint::Role::pinger:
            *wait_ms = static_cast<const PingerEndpoint*>(endpoint)->pinger.wait_ms(now_us);
            break;
    }
    return KIV_OK;
}

kiv_status kiv_next_event(kiv_endpoint* endpoint, uint64_t now_us, kiv_event* event) {
    if (endpoint == nullptr || event == nullptr) return KIV_ERR_NULL;
    switch (endpoint->role) {
        case kiv_endpoint::Role::host:
            write_event(as_host(endpoint)->host.next_event(now_us), event);
            break;
        case kiv_endpoint::Role::client:
            write_event(as_client(endpoint)->client.next_event(now_us), event);
            break;
        case kiv_endpoint::Role::pinger:
            write_event(as_pinger(endpoint)->pinger.next_event(now_us), event);
            break;
    }
    return KIV_OK;
}

kiv_status kiv_room_id(const kiv_endpoint* endpoint, uint32_t* room_id) {
    if (endpoint == nullptr || room_id == nullptr) return KIV_ERR_NULL;
    *room_id = 0;
    if (endpoint->role == kiv_endpoint::Role::host) {
        const client::Host& host = static_cast<const HostEndpoint*>(endpoint)->host;
        if (host.state() == client::Host::State::open) *room_id = host.room_id().value;
    } else if (endpoint->role == kiv_endpoint::Role::client) {
        const client::Client& joiner = static_cast<const ClientEndpoint*>(endpoint)->client;
        if (joiner.state() == client::Client::State::joined) *room_id = joiner.room_id().value;
    }
    return KIV_OK;
}

kiv_status kiv_system_errno(const kiv_endpoint* endpoint, int* system_errno) {
    if (endpoint == nullptr || system_errno == nullptr) return KIV_ERR_NULL;
    *system_errno = link_of(endpoint).system_errno();
    return KIV_OK;
}

kiv_status kiv_now_us(uint64_t* now_us) {
    if (now_us == nullptr) return KIV_ERR_NULL;
    *now_us = client::monotonic_us();
    return KIV_OK;
}

kiv_status kiv_error_text(int32_t status, const char** text) {
    if (text == nullptr) return KIV_ERR_NULL;
    if ((status >= KIV_OK && status <= KIV_ERR_SYSTEM) || status == KIV_ERR_OTHER_HOST ||
        status == KIV_ERR_NO_HOST) {
        *text = client::error_text(Error(status));
        return KIV_OK;
    }
    switch (status) {
        case KIV_ERR_NULL:
            *text = "a required pointer is NULL";
            return KIV_OK;
        case KIV_ERR_WRONG_ENDPOINT:
            *text = "not possible on this kind of endpoint";
            return KIV_OK;
        case KIV_ERR_BAD_ADDRESS:
            *text = "malformed or unknown relay address";
            return KIV_OK;
        case KIV_ERR_BUFFER_TOO_SMALL:
            *text = "buffer too small";
            return KIV_OK;
        case KIV_ERR_BAD_CODE:
            *text = "not a room code (5 characters of A-Z and 2-9, no I or O)";
            return KIV_OK;
        case KIV_ERR_NO_MEMORY:
            *text = "out of memory";
            return KIV_OK;
        case KIV_ERR_BAD_STATUS:
            *text = "not a status of this library";
            return KIV_OK;
        default:
            break;
    }
    *text = "not a status of this library";
    return KIV_ERR_BAD_STATUS;
}

kiv_status kiv_room_code(uint32_t room_id, char* buffer, size_t size) {
    if (buffer == nullptr) return KIV_ERR_NULL;
    if (!kiv::RoomId(room_id).valid()) return KIV_ERR_BAD_ROOM;
    if (size < KIV_CODE_SIZE) return KIV_ERR_BUFFER_TOO_SMALL;
    kiv::room_code(kiv::RoomId(room_id), *reinterpret_cast<kiv::RoomCodeText*>(buffer));
    return KIV_OK;
}

kiv_status kiv_room_from_code(const char* code, uint32_t* room_id) {
    if (code == nullptr || room_id == nullptr) return KIV_ERR_NULL;
    kiv::CodeParse parsed = kiv::room_code_parse(code);
    if (parsed.error != kiv::CodeError::none) return KIV_ERR_BAD_CODE;
    *room_id = parsed.id.value;
    return KIV_OK;
}

}  // extern "C"
