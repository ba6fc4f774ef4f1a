// What the platform's libcurl transport has done in this process, for tests that check its
// connection reuse.
#pragma once

#include <cstddef>

namespace qm::testkit {

// New connections the libcurl transport has opened (counted as transfers end).
std::size_t libcurlConnectionsOpened();

}  // namespace qm::testkit
