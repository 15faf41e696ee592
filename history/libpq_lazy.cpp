#include "history/libpq_lazy.h"

#include <dlfcn.h>

#include <mutex>

namespace history::lib {

#define DRAVLIN_PQ_POINTER(name) decltype(&::name) name = nullptr;
DRAVLIN_PQ_CALLS(DRAVLIN_PQ_POINTER)
#undef DRAVLIN_PQ_POINTER

bool load_libpq(std::string* why)
{
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [] {
        void* h = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            const char* e = dlerror();
            failure = std::string("PostgreSQL client library not found (package libpq5): ") + (e ? e : "libpq.so.5");
            return;
        }
#define DRAVLIN_PQ_RESOLVE(name)                                                        \
    if (!(name = reinterpret_cast<decltype(name)>(dlsym(h, #name))) && failure.empty()) \
        failure = "the PostgreSQL client library lacks " #name;
        DRAVLIN_PQ_CALLS(DRAVLIN_PQ_RESOLVE)
#undef DRAVLIN_PQ_RESOLVE
    });
    if (!failure.empty() && why)
        *why = failure;
    return failure.empty();
}

}  // namespace history::lib
