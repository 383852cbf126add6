// What Talvik's REST parsers share.
#pragma once

#include <cstddef>
#include <string>

#include "meter/json.h"
#include "runtime/log.h"

// The body of size x count bytes as a JSON tree, handed to tqrLogBody at
// level 6. When it is not JSON: invalidLine at level, the body to tqrLogBody
// at level 1, and std::invalid_argument raised again.
JsonItem tqrReadBody(const char *body, size_t size, size_t count, const std::string &invalidLine,
                     LogLevel level);
