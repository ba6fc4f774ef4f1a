#include "qmweb/headless_engine.hpp"

#include <atomic>

#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"

namespace qm::platform {
namespace {

std::string trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n;");
    const auto e = s.find_last_not_of(" \t\r\n;");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::atomic<std::int64_t> nextLoad{1};

// A page with nothing in it: loads finish at once, scripts fail but for the user agent.
class HeadlessPage : public WebPage {
public:
    HeadlessPage(const WebPageOptions& options, std::weak_ptr<WebPageClient> client)
        : agent_(!options.userAgent.empty()        ? options.userAgent
                 : options.applicationName.empty() ? HeadlessWebEngine::userAgent()
                                                   : HeadlessWebEngine::userAgent() + " " + options.applicationName),
          client_(std::move(client)) {}

    void resize(Size, double, WebDone done) override { answer(std::move(done)); }

    std::int64_t loadHTML(const std::string&, const std::string& baseURL, WebDone done) override {
        return load(baseURL.empty() ? "about:blank" : baseURL, std::move(done));
    }
    std::int64_t loadURL(const std::string& url, const std::map<std::string, std::string>&, WebDone done) override {
        return load(url, std::move(done));
    }

    void evaluate(const std::string& script, double, WebValueDone done) override {
        if (!done) return;
        if (trimmed(script) == "navigator.userAgent") {
            Queue::main().async([done, agent = agent_] { done(Value(agent), std::nullopt); });
        } else {
            Queue::main().async([done] {
                done(Value(), WebError{WebError::Kind::Exception, "this build has no browser engine to run scripts"});
            });
        }
    }

    void decideNavigation(std::int64_t, bool) override {}

    void snapshot(WebSnapshotDone done) override {
        if (!done) return;
        Queue::main().async([done] {
            done(std::string(), WebError{WebError::Kind::Failed, "this build has no browser engine to draw pages"});
        });
    }

private:
    static void answer(WebDone done) {
        if (done) Queue::main().async([done = std::move(done)] { done(std::nullopt); });
    }

    std::int64_t load(const std::string& url, WebDone done) {
        const std::int64_t id = nextLoad++;
        std::weak_ptr<WebPageClient> weak = client_;
        Queue::main().async([weak, url, id, done = std::move(done)] {
            if (done) done(std::nullopt);
            for (WebLoadState state : {WebLoadState::Started, WebLoadState::Committed, WebLoadState::Finished}) {
                auto client = weak.lock();
                if (!client) return;
                client->webLoadStateChanged(state, url, id);
            }
        });
        return id;
    }

    std::string agent_;
    std::weak_ptr<WebPageClient> client_;
};

}  // namespace

std::string HeadlessWebEngine::userAgent() {
    const auto& device = Device::current();
    return "Mozilla/5.0 (X11; " + device.systemName() + " " + device.model() +
           ") QuelmarWebKit/1.0 (KHTML, like Gecko) Mobile";
}

std::shared_ptr<WebPage> HeadlessWebEngine::createPage(const WebPageOptions& options,
                                                       std::weak_ptr<WebPageClient> client) {
    return std::make_shared<HeadlessPage>(options, std::move(client));
}

void HeadlessWebEngine::defaultUserAgent(std::function<void(const std::optional<std::string>&)> done) {
    if (done) Queue::main().async([done = std::move(done)] { done(userAgent()); });
}

}  // namespace qm::platform
