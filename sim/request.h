// Reads a datagram that reaches the simulated devices' port 3001. Datagrams come from anyone
// on the network, so the reader accepts any bytes and says "not a request" for whatever it
// cannot use.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace sim {

struct Request {
    bool ok = false;                         // an XML_MORVEK envelope of the search protocol with a numeric code
    int code = 0;                            // Msg_code
    std::string serial;                      // IPC_SERIALNUMBER SerialNumber (codes 2, 5)
    bool has_lan = false;                    // a LANConfig element is present (code 2)
    std::map<std::string, std::string> lan;  // its attributes as given
    std::string time;                        // TimeConfig Time (code 101)
};

Request parse_request(const char* data, size_t len);

}  // namespace sim
