// Placeholder until the helper-process engine lands: no helper is ever found.
#include "qmweb/helper_engine.hpp"

namespace qm::platform {

class HelperEngine::Impl {};

std::shared_ptr<HelperEngine> HelperEngine::create(HelperEngineOptions) { return nullptr; }
std::optional<std::string> HelperEngine::findHelper() { return std::nullopt; }
HelperEngine::HelperEngine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HelperEngine::~HelperEngine() = default;
std::shared_ptr<WebPage> HelperEngine::createPage(const WebPageOptions&, std::weak_ptr<WebPageClient>) { return nullptr; }
void HelperEngine::defaultUserAgent(std::function<void(const std::optional<std::string>&)> done) {
    if (done) done(std::nullopt);
}
void HelperEngine::trustCertificate(const std::string&, const std::string&, WebDone done) {
    if (done) done(WebError{WebError::Kind::Failed, "no helper"});
}
std::optional<long> HelperEngine::helperPid() const { return std::nullopt; }
std::optional<long> HelperEngine::displayServerPid() const { return std::nullopt; }
void HelperEngine::shutdown() {}

}  // namespace qm::platform
