// What campaign pages say to the library: the eight script-message names every in-app web
// view registers, their decoding, and the effects both receivers (popup views and the survey
// in a modal) share. Main thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "quelmar/value.hpp"

namespace qm::platform {
struct ScriptMessage;
}

namespace qm::inapp {

// A page's message is outside input: longer bodies are refused.
constexpr std::size_t kMaxScriptMessageBody = 64 * 1024;

// JSON text (UTF-8) to a dictionary; nothing for anything else.
Value qmParseDictionaryFromJSONString(const Value& text);
// Whether the whole text is a web address the library opens (an optional http(s) scheme and
// "www.", host labels, a top-level name of 2 to 6 letters, an optional path).
bool validateUrl(const Value& text);

struct DecodedScriptMessage {
    std::string name;
    Value text;  // the body as text
    Value body;  // the body's JSON object (its "tokens" text parsed too), or an empty dictionary
};
// Nothing for a message without a valid name or with an oversized body (logged).
std::optional<DecodedScriptMessage> qmDecodeScriptMessage(const platform::ScriptMessage& message);

// The effects both receivers share: survey attempts and submissions handed to the host app,
// and web pages, other apps, calls and the app's screens opened through the action router.
// True when the message was one of these.
bool qmPerformSharedScriptMessage(const DecodedScriptMessage& message);

}  // namespace qm::inapp
