#include "util/shm.h"

#include "util/fixedstr.h"
#include "util/log.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kGranule = 1024;

// "/name" in path; false when the name does not fit a shared-object name.
bool object_path(const char* name, char (&path)[sizeof ShmBlock::name])
{
    int n = std::snprintf(path, sizeof path, "%s%s", name[0] == '/' ? "" : "/", name);
    return n > 1 && size_t(n) < sizeof path && size_t(n) <= NAME_MAX;
}

void store(ShmBlock* block, int fd, void* address, size_t size, bool owner, const char* path)
{
    block->handle = fd;
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
    // The rounding must not wrap a huge size into a small object.
    if (size > SIZE_MAX - (kGranule - 1) || (size + kGranule - 1) / kGranule * kGranule > size_t(INT64_MAX)) {
        log_print("shm_create: size %zu too large\n", size);
        return -3;
    }
    size_t object_size = (size + kGranule - 1) / kGranule * kGranule;

    int fd = ::shm_open(path, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        if (errno == EEXIST) {
            log_print("shm_create: %s already exists\n", path);
            return -2;
        }
        LOG_LAST_ERROR("shm_create: shm_open");
        return -3;
    }
    if (::ftruncate(fd, off_t(object_size)) != 0) {
        LOG_LAST_ERROR("shm_create: ftruncate");
        ::close(fd);
        ::shm_unlink(path);
        return -3;
    }
    void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        LOG_LAST_ERROR("shm_create: mmap");
        ::close(fd);
        ::shm_unlink(path);
        return -4;
    }
    store(block, fd, address, size, true, path);
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
    int fd = ::shm_open(path, writable ? O_RDWR : O_RDONLY, 0);
    if (fd < 0) {
        LOG_LAST_ERROR("shm_open: shm_open");
        return -2;
    }
    struct stat st { };
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) {
        log_print("shm_open: %s has no size\n", path);
        ::close(fd);
        return -3;
    }
    size_t size = size_t(st.st_size);
    void* address = ::mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        LOG_LAST_ERROR("shm_open: mmap");
        ::close(fd);
        return -3;
    }
    store(block, fd, address, size, false, path);
    return 0;
}

int shm_close(ShmBlock* block)
{
    if (!block)
        return -1;
    if (block->address) {
        ::munmap(block->address, block->size);
        ::close(block->handle);
        if (block->owner) {
            char path[sizeof block->name + 1] = {};
            std::string_view stored = fixed_view(block->name);
            std::memcpy(path, stored.data(), stored.size());
            ::shm_unlink(path);
        }
    }
    block->handle = 0;
    block->address = nullptr;
    block->size = 0;
    block->owner = false;
    std::memset(block->name, 0, sizeof block->name);
    return 0;
}
