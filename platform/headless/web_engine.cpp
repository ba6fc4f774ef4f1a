#include "qmplatform/web_engine.hpp"

#include <mutex>

#include "qmbase/no_destructor.hpp"

namespace qm::platform {
namespace {
struct Configured {
    std::mutex mutex;
    std::shared_ptr<WebEngine> engine;
};
Configured& configured() {
    static NoDestructor<Configured> c;
    return *c;
}
}  // namespace

std::string_view webErrorKindName(WebError::Kind kind) {
    switch (kind) {
    case WebError::Kind::Exception: return "exception";
    case WebError::Kind::Timeout: return "timeout";
    case WebError::Kind::NoPage: return "no page";
    case WebError::Kind::BadRequest: return "bad request";
    case WebError::Kind::Failed: return "failed";
    case WebError::Kind::EngineLost: return "engine lost";
    }
    return "failed";
}

std::shared_ptr<WebEngine> configuredWebEngine() {
    std::lock_guard lock(configured().mutex);
    return configured().engine;
}

void setConfiguredWebEngine(std::shared_ptr<WebEngine> engine) {
    std::shared_ptr<WebEngine> previous;
    {
        std::lock_guard lock(configured().mutex);
        previous = std::exchange(configured().engine, std::move(engine));
    }
    // `previous` goes here, outside the lock: an engine may stop a process as it goes.
}

}  // namespace qm::platform
