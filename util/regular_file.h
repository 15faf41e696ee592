// Opening a file that is to be read whole (an upload's source, a list the tool is handed)
// only when it is a regular file, without ever waiting on it: a FIFO would block an open for
// reading until a writer came, a device may never end.
#pragma once

#include <cstdint>
#include <cstdio>

// Error number of open_regular_file for a path that exists but is no regular file.
constexpr int kNotRegularFile = -1;

// The open stream ("rb") and the file's size then, or null with *error: the system's error
// number, or kNotRegularFile (nothing was opened for reading then).
FILE* open_regular_file(const char* path, int64_t* size, int* error);
