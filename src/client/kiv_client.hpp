// Talking to a kiv relay from an application: a Host opens a room and exchanges datagrams
// with its clients by tag; a Client joins a room by id and exchanges datagrams with the host;
// a Pinger checks that a relay answers.
//
// Everything is non-blocking and single-threaded. Each endpoint owns one UDP socket; wait on
// fd() for reading (poll, epoll, an existing event loop) for at most wait_ms(now) and then
// call next_event(now) until it returns EventKind::none. The caller supplies the time (any
// monotonic microsecond count, see monotonic_us()), so retries and keep-alives are driven by
// the clock the caller chooses and tests can step through minutes at once. No call allocates.
// What one wake-up brought is read with one system call (up to RECEIVE_BATCH datagrams);
// each received payload is handed out as a view of the endpoint's own buffer, and all the
// payloads handed out since the last EventKind::none stay valid until the next call after
// the none that follows them, so a caller can pass a whole batch on with one call of its own.
//
// A relay that restarts forgets every room. A Host that was open and a Client that was in
// a room then report EventKind::lost and try to get back for up to RELAY_TIMEOUT_US: the host
// asks for its room again, the client re-joins once it is there, and each reports opened or
// joined again when it has (or refused / timed_out when it gives up). The same happens when
// the relay stops answering.
//
// Each endpoint is a state machine (HostSession, ClientSession, PingerSession) over its own
// socket link (Link); the state machines take any Transport, so they can be driven without a
// socket (memory_transport.hpp).
#pragma once

#include "client/client_session.hpp"
#include "client/errors.hpp"
#include "client/events.hpp"
#include "client/host_session.hpp"
#include "client/link.hpp"
#include "client/pinger_session.hpp"
#include "client/retry.hpp"
#include "client/roster.hpp"
#include "client/transport.hpp"
#include "net/segments.hpp"
#include "wire/peer.hpp"
#include "wire/protocol.hpp"
#include "wire/values.hpp"

namespace kiv::client {

// Each endpoint is its state machine over its own socket link: connect() or attach() first.
class Host : public Link, public HostSession {
  public:
    Host() : HostSession(transport()) {}
};

class Client : public Link, public ClientSession {
  public:
    Client() : ClientSession(transport()) {}
};

class Pinger : public Link, public PingerSession {
  public:
    Pinger() : PingerSession(transport()) {}
};

}  // namespace kiv::client
