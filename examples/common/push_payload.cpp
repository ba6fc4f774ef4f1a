#include "push_payload.hpp"

#include <ostream>

#include "qmplatform/json.hpp"
#include "qmplatform/sandbox.hpp"

namespace qm::examples {

std::optional<Value> readPayload(const std::string& file, std::ostream& out) {
    auto bytes = platform::Files::readFile(file);
    auto payload = bytes ? platform::json::parse(*bytes) : std::nullopt;
    if (!payload || !payload->isDictionary()) {
        out << "push: cannot read a payload from " << file << std::endl;
        return std::nullopt;
    }
    return payload;
}

platform::NotificationContent contentOf(const Value& payload) {
    platform::NotificationContent content;
    const Value& aps = payload["aps"];
    const Value& alert = aps["alert"];
    if (alert.isString()) {
        content.body = alert.string();
    } else {
        content.title = alert["title"].isString() ? alert["title"].string() : "";
        content.body = alert["body"].isString() ? alert["body"].string() : "";
    }
    content.categoryIdentifier = aps["category"].isString() ? aps["category"].string() : "";
    content.badge = aps["badge"].isNumber() ? aps["badge"] : Value();
    content.userInfo = payload;
    return content;
}

}  // namespace qm::examples
