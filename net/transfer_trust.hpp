// Whom the transfers trust for https, given to each downloader when it is made.
#pragma once

#include <string>

namespace qz4 {

// The program trusts the system's certificate store and nothing else; test builds name an
// authority of their own.
struct transfer_trust {
    std::string ca_file; // a PEM file of trusted authorities (UTF-8 path); empty: the system's store
};

} // namespace qz4
