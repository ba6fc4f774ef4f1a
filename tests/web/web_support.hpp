// Test helpers for web views: a navigation delegate that writes down what it hears and answers
// navigations as told, and a script-message handler that keeps what it gets.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qmweb/web_view.hpp"

namespace qm::testing {

class RecordingDelegate : public platform::NavigationDelegate {
public:
    enum class Answer { Allow, Cancel, Drop, Keep, Twice };
    Answer answer = Answer::Allow;
    std::vector<std::string> events;       // "start 3 about:blank loading", …
    std::vector<platform::NavigationAction> actions;
    std::vector<std::function<void(platform::NavigationActionPolicy)>> kept;  // Answer::Keep

    void webViewDidStartProvisionalNavigation(platform::WebView& view, const platform::Navigation& n) override {
        note("start", view, n);
    }
    void webViewDidCommitNavigation(platform::WebView& view, const platform::Navigation& n) override {
        note("commit", view, n);
    }
    void webViewDidFinishNavigation(platform::WebView& view, const platform::Navigation& n) override {
        note("finish", view, n);
    }
    void webViewDidFailNavigation(platform::WebView& view, const platform::Navigation& n,
                                  const std::string& message) override {
        note("fail", view, n);
        events.back() += " " + message;
    }
    void webViewWebContentProcessDidTerminate(platform::WebView&) override { events.push_back("terminate"); }
    void webViewDecidePolicyForNavigationAction(
        platform::WebView&, const platform::NavigationAction& action,
        std::function<void(platform::NavigationActionPolicy)> decisionHandler) override {
        actions.push_back(action);
        events.push_back("decide " + action.url);
        switch (answer) {
            case Answer::Allow: decisionHandler(platform::NavigationActionPolicy::Allow); break;
            case Answer::Cancel: decisionHandler(platform::NavigationActionPolicy::Cancel); break;
            case Answer::Drop: break;
            case Answer::Keep: kept.push_back(std::move(decisionHandler)); break;
            case Answer::Twice:
                decisionHandler(platform::NavigationActionPolicy::Cancel);
                decisionHandler(platform::NavigationActionPolicy::Allow);
                break;
        }
    }

private:
    void note(const char* what, platform::WebView& view, const platform::Navigation& n) {
        events.push_back(std::string(what) + " " + std::to_string(n.id) + " " + n.url +
                         (view.isLoading() ? " loading" : ""));
    }
};

class RecordingHandler : public platform::ScriptMessageHandler {
public:
    std::vector<platform::ScriptMessage> messages;
    void userContentController(platform::UserContentController&, const platform::ScriptMessage& message) override {
        messages.push_back(message);
    }
};

}  // namespace qm::testing
