// Search answers as they arrive from the LAN: any bytes, at most one datagram's worth,
// terminated the way the search thread terminates them. The table must never list a record
// with an empty serial number, nor more than 1000.
#include "discovery/search_table.h"
#include "util/fixedstr.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto* table = new SearchTable;  // kept across inputs so refresh paths are reached
    if (size > kSearchAnswerMax)
        size = kSearchAnswerMax;
    std::vector<char> text(size + 1);
    if (size)
        std::memcpy(text.data(), data, size);
    text[size] = '\0';
    table->handle_datagram(text.data());
    int n = table->count();
    if (n < 0 || n > kMaxSearchDevices)
        std::abort();
    for (int i = 0; i < n; ++i)
        if (fixed_view(table->slot(i)->devid.SerialNumber).empty())
            std::abort();
    return 0;
}
