/* Lines of text between a host and its clients through a kiv relay, with the C interface.
 *
 *   chat HOST:PORT          opens a room, prints "room CODE", sends each line typed to every
 *                           client and prints theirs as "TAG: text"
 *   chat HOST:PORT CODE     joins the room and exchanges lines with its host
 *
 * Ends at the end of standard input. Exits 1 with the reason on standard error when the relay
 * refuses or does not answer, 2 on a wrong command line. */
#define _POSIX_C_SOURCE 200809L

#include <kiv.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define MAX_CLIENTS 8

struct chat {
    kiv_endpoint* endpoint;
    int is_host;
    uint32_t tags[MAX_CLIENTS]; /* the host's clients, 0 for a free place */
    char line[KIV_MAX_PAYLOAD];
    size_t line_length;
};

static int fail(const char* what, kiv_status status) {
    const char* text = "";
    kiv_error_text(status, &text);
    fprintf(stderr, "chat: %s: %s\n", what, text);
    return 1;
}

/* A peer's bytes may hold anything; only printable ASCII reaches the terminal. */
static void print_text(const char* who, const uint8_t* bytes, size_t length) {
    size_t i;
    printf("%s: ", who);
    for (i = 0; i < length; ++i)
        putchar(bytes[i] >= 0x20 && bytes[i] < 0x7f ? bytes[i] : '?');
    putchar('\n');
    fflush(stdout);
}

static void note_client(struct chat* chat, uint32_t tag, int present) {
    int i;
    for (i = 0; i < MAX_CLIENTS; ++i) {
        if (present ? chat->tags[i] == 0 : chat->tags[i] == tag) {
            chat->tags[i] = present ? tag : 0;
            return;
        }
    }
}

static kiv_status send_line(struct chat* chat, const char* text, size_t length) {
    uint64_t now_us;
    int i;
    kiv_now_us(&now_us);
    if (!chat->is_host) return kiv_send(chat->endpoint, 0, text, length, now_us);
    for (i = 0; i < MAX_CLIENTS; ++i) {
        if (chat->tags[i] == 0) continue;
        kiv_status status = kiv_send(chat->endpoint, chat->tags[i], text, length, now_us);
        if (status != KIV_OK) return status;
    }
    return KIV_OK;
}

/* Reads what standard input has and sends every complete line; 0 at its end. */
static int read_input(struct chat* chat, kiv_status* status) {
    char chunk[512];
    ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    ssize_t i;
    if (got < 0) return errno == EINTR || errno == EAGAIN;
    if (got == 0) return 0;
    for (i = 0; i < got; ++i) {
        if (chunk[i] != '\n' && chat->line_length < sizeof chat->line) {
            chat->line[chat->line_length++] = chunk[i];
            continue;
        }
        /* A line longer than a datagram goes out in pieces. */
        *status = send_line(chat, chat->line, chat->line_length);
        if (*status != KIV_OK) return 0;
        chat->line_length = 0;
        if (chunk[i] != '\n') chat->line[chat->line_length++] = chunk[i];
    }
    return 1;
}

/* Handles every event waiting; returns 1 to go on, 0 when the chat is over. */
static int handle_events(struct chat* chat, kiv_status* status) {
    kiv_event event;
    char code[KIV_CODE_SIZE];
    char who[16];
    uint64_t now_us;
    for (;;) {
        kiv_now_us(&now_us);
        kiv_next_event(chat->endpoint, now_us, &event);
        switch (event.kind) {
            case KIV_EVENT_NONE:
                return 1;
            case KIV_EVENT_OPENED:
                kiv_room_code(event.room_id, code, sizeof code);
                printf("room %s\n", code);
                fflush(stdout);
                break;
            case KIV_EVENT_JOINED:
                kiv_room_code(event.room_id, code, sizeof code);
                printf("joined %s\n", code);
                fflush(stdout);
                break;
            case KIV_EVENT_CLIENT_JOINED:
            case KIV_EVENT_CLIENT_LEFT:
                note_client(chat, event.tag, event.kind == KIV_EVENT_CLIENT_JOINED);
                printf("%s %u\n", event.kind == KIV_EVENT_CLIENT_JOINED ? "joined" : "left",
                       (unsigned)event.tag);
                fflush(stdout);
                break;
            case KIV_EVENT_DATA:
                /* Empty datagrams are how clients join and keep their place. */
                if (event.length == 0) break;
                if (chat->is_host) {
                    snprintf(who, sizeof who, "%u", (unsigned)event.tag);
                } else {
                    snprintf(who, sizeof who, "host");
                }
                print_text(who, event.payload, event.length);
                break;
            default:
                *status = (kiv_status)event.error;
                return 0;
        }
    }
}

int main(int argc, char** argv) {
    struct chat chat;
    kiv_status status;
    uint32_t room_id = 0;
    uint64_t now_us;
    int input_open = 1;

    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: chat HOST:PORT [CODE]\n");
        return 2;
    }
    memset(&chat, 0, sizeof chat);
    chat.is_host = argc == 2;
    if (!chat.is_host && kiv_room_from_code(argv[2], &room_id) != KIV_OK) {
        fprintf(stderr, "chat: '%s' is not a room code\n", argv[2]);
        return 2;
    }
    status = chat.is_host ? kiv_host_create(&chat.endpoint) : kiv_client_create(&chat.endpoint);
    if (status != KIV_OK) return fail("cannot start", status);
    status = kiv_connect_text(chat.endpoint, argv[1]);
    if (status != KIV_OK) return fail(argv[1], status);
    kiv_now_us(&now_us);
    status = chat.is_host ? kiv_open(chat.endpoint, 0, now_us, 0)
                          : kiv_join(chat.endpoint, room_id, now_us, 0);
    if (status != KIV_OK) return fail(argv[1], status);

    while (input_open) {
        struct pollfd waiting[2];
        int wait_ms;
        uint32_t current_room;
        kiv_fd(chat.endpoint, &waiting[0].fd);
        waiting[0].events = POLLIN;
        waiting[1].fd = STDIN_FILENO;
        waiting[1].events = POLLIN;
        waiting[1].revents = 0;
        kiv_now_us(&now_us);
        kiv_wait_ms(chat.endpoint, now_us, &wait_ms);
        kiv_room_id(chat.endpoint, &current_room);
        /* Typing starts once the room is open or joined. */
        if (poll(waiting, current_room != 0 ? 2 : 1, wait_ms) < 0 && errno != EINTR) break;
        status = KIV_OK;
        if (!handle_events(&chat, &status)) {
            kiv_destroy(chat.endpoint);
            return fail(argv[1], status);
        }
        if (current_room != 0 && (waiting[1].revents & (POLLIN | POLLHUP)) != 0) {
            input_open = read_input(&chat, &status);
            if (status != KIV_OK) {
                kiv_destroy(chat.endpoint);
                return fail("send", status);
            }
        }
    }
    if (chat.line_length > 0) (void)send_line(&chat, chat.line, chat.line_length);
    (void)kiv_close(chat.endpoint);
    kiv_destroy(chat.endpoint);
    return 0;
}
