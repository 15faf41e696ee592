// Named shared-memory blocks on POSIX shared memory (shm_open/mmap).
// A name is used as given with a "/" put in front when it has none; it may hold no other "/".
// The block's creator owns the name: shm_close of the created block removes the name, so a
// later shm_open of it fails, while blocks already open elsewhere stay mapped until closed.
#pragma once

#include <cstddef>

struct ShmBlock {
    int handle = 0;           // descriptor of the shared object; 0 when closed
    void* address = nullptr;  // mapped view; null when closed
    size_t size = 0;          // bytes mapped at address
    bool owner = false;       // created here: closing removes the name
    char name[256] = {};      // object name with its "/", for that removal
};

// 0 on success; -1 missing name or block, or size 0; -2 a block of that name already exists
// (the given block is left as it was); -3 creation failed; -4 the view could not be mapped.
// The object is sized up to a multiple of 1024 bytes; size bytes are mapped read-write.
int shm_create(const char* name, size_t size, ShmBlock* block);

// 0 on success; -1 missing name or block; -2 no such block (or no access); -3 the view could
// not be mapped. The whole object is mapped, read-write or read-only.
int shm_open(const char* name, bool writable, ShmBlock* block);

// Unmaps and closes; 0, or -1 for a missing block. Closing a closed block does nothing.
int shm_close(ShmBlock* block);
