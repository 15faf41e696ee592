// Named shared-memory blocks on Windows file mappings backed by the paging file. The name is
// the same "/name" as on POSIX. A mapping lives as long as any handle to it: the creator's
// close removes the name only once no one else has the block open.
#include "util/shm.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kGranule = 1024;

bool object_path(const char* name, char (&path)[sizeof ShmBlock::name])
{
    int n = std::snprintf(path, sizeof path, "%s%s", name[0] == '/' ? "" : "/", name);
    return n > 1 && size_t(n) < sizeof path && std::strchr(path + 1, '/') == nullptr && !std::strchr(path, '\\');
}

// Kernel handles keep to 32 bits on 64-bit Windows, so the block's int holds one.
int to_int(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }
HANDLE to_handle(int h) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(h)); }

void store(ShmBlock* block, HANDLE h, void* address, size_t size, bool owner, const char* path)
{
    block->handle = to_int(h);
    block->address = address;
    block->size = size;
    block->owner = owner;
    fixed_copy(block->name, owner ? path : "");
}

}  // namespace

int shm_create(const char* name, size_t size, ShmBlock* block)
{
    if (!name || !block || size == 0) {
        log_print("shm_create: bad argument\n");
        return -1;
    }
    char path[sizeof ShmBlock::name];
    if (!object_path(name, path)) {
        log_print("shm_create: bad name %s\n", name);
        return -3;
    }
    if (size > SIZE_MAX - (kGranule - 1) || (size + kGranule - 1) / kGranule * kGranule > size_t(INT64_MAX)) {
        log_print("shm_create: size %zu too large\n", size);
        return -3;
    }
    uint64_t object_size = (size + kGranule - 1) / kGranule * kGranule;
    HANDLE h = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(object_size >> 32),
                                    DWORD(object_size & 0xFFFFFFFFu), path);
    if (!h) {
        log_print("shm_create: CreateFileMapping %s fail, error(%lu)\n", path, ::GetLastError());
        return -3;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(h);
        log_print("shm_create: %s already exists\n", path);
        return -2;
    }
    void* address = ::MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, size);
    if (!address) {
        log_print("shm_create: MapViewOfFile fail, error(%lu)\n", ::GetLastError());
        ::CloseHandle(h);
        return -4;
    }
    store(block, h, address, size, true, path);
    return 0;
}

int shm_open(const char* name, bool writable, ShmBlock* block)
{
    if (!name || !block) {
        log_print("shm_open: bad argument\n");
        return -1;
    }
    char path[sizeof ShmBlock::name];
    if (!object_path(name, path)) {
        log_print("shm_open: bad name %s\n", name);
        return -2;
    }
    HANDLE h = ::OpenFileMappingA(writable ? FILE_MAP_WRITE : FILE_MAP_READ, FALSE, path);
    if (!h) {
        log_print("shm_open: OpenFileMapping %s fail, error(%lu)\n", path, ::GetLastError());
        return -2;
    }
    void* address = ::MapViewOfFile(h, writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0);
    MEMORY_BASIC_INFORMATION info{};
    if (!address || ::VirtualQuery(address, &info, sizeof info) == 0 || info.RegionSize == 0) {
        log_print("shm_open: %s has no size\n", path);
        if (address)
            ::UnmapViewOfFile(address);
        ::CloseHandle(h);
        return -3;
    }
    store(block, h, address, info.RegionSize, false, path);
    return 0;
}

int shm_close(ShmBlock* block)
{
    if (!block)
        return -1;
    if (block->address) {
        ::UnmapViewOfFile(block->address);
        ::CloseHandle(to_handle(block->handle));
    }
    block->handle = 0;
    block->address = nullptr;
    block->size = 0;
    block->owner = false;
    std::memset(block->name, 0, sizeof block->name);
    return 0;
}
