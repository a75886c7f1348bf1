/* The kiv client library for C and for every language that can call C: a host opens a room
 * on a relay and exchanges datagrams with its clients by tag, a client joins a room by its id
 * and exchanges datagrams with the host, a pinger checks that a relay answers.
 *
 * Each endpoint is a handle owning one non-blocking UDP socket. Wait until kiv_fd() is
 * readable, for at most kiv_wait_ms() milliseconds (poll, epoll, an engine's loop), then call
 * kiv_next_event() until it reports KIV_EVENT_NONE. The caller passes the time as a monotonic
 * microsecond count (kiv_now_us() gives one), so retries and keep-alives follow the clock the
 * caller chooses.
 *
 * Every function returns a kiv_status and writes its results through pointers. Nothing
 * aborts, nothing is allocated after kiv_*_create(), and there is no global state: each handle
 * may be used by one thread at a time, and different handles by different threads at once.
 * A payload an event points at stays valid until the next call on the same handle.
 */
#ifndef KIV_H
#define KIV_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the shared library exports, whatever the visibility it is built with. */
#if defined(__GNUC__)
#define KIV_API __attribute__((visibility("default")))
#else
#define KIV_API
#endif

/* The longest payload one datagram carries. */
#define KIV_MAX_PAYLOAD 1400
/* The most payloads kiv_send_batch() takes in one call. */
#define KIV_SEND_BATCH 32
/* Room codes are 5 characters; a buffer for one with its terminating NUL. */
#define KIV_CODE_SIZE 6
/* The relay's default port. */
#define KIV_DEFAULT_PORT 27017
/* How long kiv_open(), kiv_join() and kiv_ping() wait for an answer when given 0. */
#define KIV_DEFAULT_TIMEOUT_US 5000000u

/* Statuses, and the error an event carries. Values are stable: new ones are only added. */
typedef enum kiv_status {
    KIV_OK = 0,
    /* Refusals sent by the relay. */
    KIV_ERR_NO_ROOM = 1,         /* no room has that id */
    KIV_ERR_ROOM_FULL = 2,       /* the room has no free slot */
    KIV_ERR_NO_FREE_ROOM = 3,    /* the relay's table is full */
    KIV_ERR_BAD_VERSION = 4,     /* the relay speaks another protocol version */
    KIV_ERR_NOT_ALLOWED = 5,     /* the relay opens rooms only with a good open token */
    KIV_ERR_UNKNOWN_REFUSAL = 6, /* a refusal this library does not know */
    /* Found by the library. */
    KIV_ERR_TIMED_OUT = 7,  /* the relay did not answer in time */
    KIV_ERR_TOO_LARGE = 8,  /* a payload over KIV_MAX_PAYLOAD */
    KIV_ERR_TOO_MANY = 9,   /* a batch over KIV_SEND_BATCH payloads */
    KIV_ERR_BAD_TAG = 10,   /* a tag outside 1..65535 */
    KIV_ERR_BAD_ROOM = 11,  /* a room id outside 1..33554432 */
    KIV_ERR_NOT_READY = 12, /* not connected, open or joined yet */
    KIV_ERR_SYSTEM = 13,    /* a socket call failed; kiv_system_errno() tells why */
    /* Found by this interface. */
    KIV_ERR_NULL = 14,           /* a required pointer was NULL */
    KIV_ERR_WRONG_ENDPOINT = 15, /* e.g. kiv_join() on a host */
    KIV_ERR_BAD_ADDRESS = 16,    /* an address that is malformed or does not resolve */
    KIV_ERR_BUFFER_TOO_SMALL = 17,
    KIV_ERR_BAD_CODE = 18,  /* text that is not a room code */
    KIV_ERR_NO_MEMORY = 19, /* a handle could not be allocated */
    KIV_ERR_BAD_STATUS = 20, /* kiv_error_text() was given a value that is no status */
    /* Found by a client that checks its host (kiv_set_check_host), after a re-join. */
    KIV_ERR_OTHER_HOST = 21, /* another host answers in the room */
    KIV_ERR_NO_HOST = 22     /* no host answers in the room */
} kiv_status;

typedef enum kiv_event_kind {
    KIV_EVENT_NONE = 0,          /* nothing to report now */
    KIV_EVENT_OPENED = 1,        /* host: the room is open (again when its id changed); room_id */
    KIV_EVENT_JOINED = 2,        /* client: the relay confirmed the join; room_id */
    KIV_EVENT_DATA = 3,          /* a datagram: payload, length; tag of the sender at a host */
    KIV_EVENT_PONG = 4,          /* pinger: round_trip_us */
    KIV_EVENT_REFUSED = 5,       /* the relay refused; error says why */
    KIV_EVENT_TIMED_OUT = 6,     /* a request went unanswered; error is KIV_ERR_TIMED_OUT */
    KIV_EVENT_CLIENT_JOINED = 7, /* host: a tag spoke for the first time; tag */
    KIV_EVENT_CLIENT_LEFT = 8,   /* host: a tag was silent as long as the relay keeps it; tag */
    KIV_EVENT_LOST = 9,          /* the relay lost the room or place, or went silent; error says
                                    which; the endpoint is getting it back on its own */
    KIV_EVENT_PATH_DIRECT = 10,  /* with kiv_set_direct(): data to the peer (tag, at a host) now
                                    goes directly; round_trip_us confirmed the path */
    KIV_EVENT_PATH_RELAYED = 11  /* with kiv_set_direct(): data to the peer (tag, at a host) goes
                                    through the relay alone again; error KIV_ERR_TIMED_OUT when
                                    a direct path went silent, KIV_OK when punching found none;
                                    the endpoint tries again later on its own */
} kiv_event_kind;

/* Fixed-size fields in an order without padding, for foreign function interfaces. */
typedef struct kiv_event {
    int32_t kind;  /* a kiv_event_kind */
    int32_t error; /* a kiv_status: KIV_OK, or the reason of a refused or timed_out event */
    uint32_t room_id;
    uint32_t tag;
    uint64_t round_trip_us;
    const uint8_t* payload; /* valid until the next call on the handle */
    size_t length;
} kiv_event;

/* One payload of a batch. */
typedef struct kiv_buffer {
    const void* data;
    size_t length;
} kiv_buffer;

/* A host, a client or a pinger, made by the create function of its kind. */
typedef struct kiv_endpoint kiv_endpoint;

/* Makes a host (a client, a pinger) in *endpoint; fails with NULL or NO_MEMORY. */
KIV_API kiv_status kiv_host_create(kiv_endpoint** endpoint);
KIV_API kiv_status kiv_client_create(kiv_endpoint** endpoint);
KIV_API kiv_status kiv_pinger_create(kiv_endpoint** endpoint);
/* Closes the socket and frees the handle; NULL is accepted and does nothing. */
KIV_API kiv_status kiv_destroy(kiv_endpoint* endpoint);

/* Makes a socket whose only peer is the relay at address (a struct sockaddr_in of length
 * bytes); fails with NULL, BAD_ADDRESS for another family or length, or SYSTEM. */
KIV_API kiv_status kiv_connect(kiv_endpoint* endpoint, const void* address, size_t length);
/* As kiv_connect() to "HOST[:PORT]" (a numeric IPv4 address or a name, port 27017 when left
 * out); fails with NULL, BAD_ADDRESS when it is malformed or does not resolve, or SYSTEM.
 * Resolving a name may block and allocate inside the system's resolver. */
KIV_API kiv_status kiv_connect_text(kiv_endpoint* endpoint, const char* host_port);

/* Host or client: direct paths on (on != 0) or off, off by default. With them on at both
 * ends, the two find each other's addresses through the room (and the relay's reflection when
 * it offers one), and data then goes straight between them once a round trip confirmed the
 * way, through the relay again when the way goes silent; PATH_DIRECT and PATH_RELAYED events
 * say so. The room place is kept all along. Call before kiv_connect(); fails with NULL,
 * NOT_READY after it, WRONG_ENDPOINT (a pinger) or SYSTEM. */
KIV_API kiv_status kiv_set_direct(kiv_endpoint* endpoint, int on);

/* Host: asks for a room, requested_room 0 for any; answered by an opened, refused or
 * timed_out event within timeout_us (0: the default). Fails with BAD_ROOM, NOT_READY before
 * kiv_connect, WRONG_ENDPOINT or SYSTEM. */
KIV_API kiv_status kiv_open(kiv_endpoint* host, uint32_t requested_room, uint64_t now_us,
                            uint64_t timeout_us);
/* Client: joins a room; answered by a joined, refused or timed_out event. Fails with BAD_ROOM,
 * NOT_READY before kiv_connect, WRONG_ENDPOINT or SYSTEM. */
KIV_API kiv_status kiv_join(kiv_endpoint* client, uint32_t room_id, uint64_t now_us,
                            uint64_t timeout_us);
/* Pinger: sends a probe; answered by a pong or timed_out event. Fails with NOT_READY before
 * kiv_connect, WRONG_ENDPOINT or SYSTEM. */
KIV_API kiv_status kiv_ping(kiv_endpoint* pinger, uint64_t now_us, uint64_t timeout_us);

/* A relay that restarts forgets who held a room, and a client that joins it again may find
 * another host there. Host: names this host to clients that check theirs; 0, the default,
 * names none. Fails with NULL or WRONG_ENDPOINT. */
KIV_API kiv_status kiv_set_identity(kiv_endpoint* host, uint64_t identity);
/* Client, on non-zero: after each re-join, before anything else, the host that first
 * answered with its identity must answer again; a re-join ends in a refused event with
 * OTHER_HOST or NO_HOST otherwise. Both ends must use it. Off by default; takes effect at the
 * next kiv_join(). Fails with NULL or WRONG_ENDPOINT. */
KIV_API kiv_status kiv_set_check_host(kiv_endpoint* client, int on);

/* Sends one datagram: from a host to the client with this tag, from a client to its host
 * (tag ignored). Fails with NOT_READY before the room is open or joined, BAD_TAG, TOO_LARGE,
 * NULL (payload NULL with a length), WRONG_ENDPOINT or SYSTEM. */
KIV_API kiv_status kiv_send(kiv_endpoint* endpoint, uint32_t tag, const void* payload,
                            size_t length, uint64_t now_us);
/* As kiv_send() for up to KIV_SEND_BATCH payloads with one system call (more fail with
 * TOO_MANY); a payload over KIV_MAX_PAYLOAD fails the whole batch with TOO_LARGE. */
KIV_API kiv_status kiv_send_batch(kiv_endpoint* endpoint, uint32_t tag, const kiv_buffer* payloads,
                                  size_t count, uint64_t now_us);
/* Host: ends the room; client: gives up its slot. The relay does not answer. Fails with
 * NOT_READY when there is nothing to end, WRONG_ENDPOINT (a pinger) or SYSTEM. */
KIV_API kiv_status kiv_close(kiv_endpoint* endpoint);

/* The socket to wait on for reading, -1 before kiv_connect; fails only with NULL. */
KIV_API kiv_status kiv_fd(const kiv_endpoint* endpoint, int* fd);
/* How long to wait at most before the next kiv_next_event (-1: until the socket is
 * readable); fails only with NULL. */
KIV_API kiv_status kiv_wait_ms(const kiv_endpoint* endpoint, uint64_t now_us, int* wait_ms);
/* The next thing that happened, kind KIV_EVENT_NONE when nothing did; sends what is due
 * (retries, keep-alives) on the way. Fails only with NULL. */
KIV_API kiv_status kiv_next_event(kiv_endpoint* endpoint, uint64_t now_us, kiv_event* event);
/* The room a host holds or a client joined (0 before); fails only with NULL. */
KIV_API kiv_status kiv_room_id(const kiv_endpoint* endpoint, uint32_t* room_id);
/* The errno of the last call that failed with KIV_ERR_SYSTEM; fails only with NULL. */
KIV_API kiv_status kiv_system_errno(const kiv_endpoint* endpoint, int* system_errno);

/* A microsecond count of the system's monotonic clock; fails only with NULL. */
KIV_API kiv_status kiv_now_us(uint64_t* now_us);
/* Points *text at a constant English sentence for a status ("no such room"); fails with NULL,
 * or BAD_STATUS (and a sentence saying so) for a value that is no status. */
KIV_API kiv_status kiv_error_text(int32_t status, const char** text);
/* Writes the 5-character code of a room id and a NUL; fails with NULL, BAD_ROOM or
 * BUFFER_TOO_SMALL (size under KIV_CODE_SIZE). */
KIV_API kiv_status kiv_room_code(uint32_t room_id, char* buffer, size_t size);
/* Reads a room code back, letters in either case; fails with NULL or BAD_CODE. */
KIV_API kiv_status kiv_room_from_code(const char* code, uint32_t* room_id);

#ifdef __cplusplus
}
#endif

#endif /* KIV_H */
