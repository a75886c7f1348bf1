// Reading the key that open tokens are made with: a file of raw bytes that only its owner
// (and group) may read, such as `head -c 32 /dev/urandom > open.key` with a umask of 027.
#pragma once

#include <cstddef>

#include "wire/open_token.hpp"

namespace kiv {

// Loads `path` into `key`; on failure writes why into `reason` (a whole sentence naming the
// file).
bool open_key_load(const char* path, OpenKey* key, char* reason, size_t reason_size);

}  // namespace kiv
