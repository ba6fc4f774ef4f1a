// The engine web views fall back to where no browser engine is installed: pages load nothing
// (a load commits and finishes at once as an empty page), and scripts fail, except
// "navigator.userAgent", which answers the platform's own user agent.
#pragma once

#include <string>

#include "qmplatform/web_engine.hpp"

namespace qm::platform {

class HeadlessWebEngine : public WebEngine {
public:
    // The user agent pages report when none is set: the device's facts in a browser's form.
    static std::string userAgent();

    std::shared_ptr<WebPage> createPage(const WebPageOptions& options, std::weak_ptr<WebPageClient> client) override;
    void defaultUserAgent(std::function<void(const std::optional<std::string>& agent)> done) override;
};

}  // namespace qm::platform
