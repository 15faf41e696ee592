// The browser console's page (web/), compiled into the executable.
#pragma once

#include <cstddef>

namespace dravlinctl::serve {

struct Asset {
    const char* path;  // "/index.html", "/app.js", ...
    const unsigned char* data;
    size_t size;
};

// Ends with an entry whose path is null.
extern const Asset kAssets[];

}  // namespace dravlinctl::serve
