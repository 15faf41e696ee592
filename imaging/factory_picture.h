// The built-in factory boot picture, binary resource 139: our own 1024 x 768 baseline JPEG
// (three components, 2 x 2 luminance sampling), embedded at build time from
// imaging/resources/factory_boot.jpg.
#pragma once

#include <cstddef>

const unsigned char* factory_boot_jpeg_data();
size_t factory_boot_jpeg_size();
