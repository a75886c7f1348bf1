#include "wire/open_key_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kiv {

bool open_key_load(const char* path, OpenKey* key, char* reason, size_t reason_size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        snprintf(reason, reason_size, "cannot read the open key %s: %s", path, strerror(errno));
        return false;
    }
    struct stat info {};
    uint8_t bytes[OPEN_KEY_MAX_BYTES + 1];
    ssize_t length = -1;
    bool ok = false;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        snprintf(reason, reason_size, "the open key %s is not a regular file", path);
    } else if ((info.st_mode & S_IROTH) != 0) {
        snprintf(reason, reason_size,
                 "the open key %s is readable by everyone; make it private (chmod o-rwx %s)", path,
                 path);
    } else if ((length = read(fd, bytes, sizeof bytes)) < 0) {
        snprintf(reason, reason_size, "cannot read the open key %s: %s", path, strerror(errno));
    } else if (size_t(length) < OPEN_KEY_MIN_BYTES) {
        snprintf(reason, reason_size,
                 "the open key %s holds %zd byte(s); it needs at least %zu "
                 "(head -c 32 /dev/urandom > %s)",
                 path, length, OPEN_KEY_MIN_BYTES, path);
    } else if (size_t(length) > OPEN_KEY_MAX_BYTES) {
        snprintf(reason, reason_size, "the open key %s is longer than %zu bytes", path,
                 OPEN_KEY_MAX_BYTES);
    } else if (!key->set(bytes, size_t(length))) {
        snprintf(reason, reason_size, "the open key %s cannot be used", path);
    } else {
        ok = true;
    }
    // The key's bytes live on in the HMAC state only.
    volatile uint8_t* wipe = bytes;
    for (size_t i = 0; i < sizeof bytes; ++i)
        wipe[i] = 0;
    close(fd);
    return ok;
}

}  // namespace kiv
