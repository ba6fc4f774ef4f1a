#include "libcurl_statistics.hpp"

#include "url_transport.hpp"  // the platform's internal engine

namespace qm::testkit {

std::size_t libcurlConnectionsOpened() { return platform::detail::URLEngine::instance().connectionsOpened(); }

}  // namespace qm::testkit
