#include "core/QMFormFields.hpp"

#include "qmplatform/text.hpp"
#include "qmplatform/url.hpp"

namespace qm {

std::string qmFormValue(const Value& value) {
    // Missing values read as "(null)"; like everywhere in a request they become nothing.
    std::string text = value.description();
    for (auto at = text.find("(null)"); at != std::string::npos; at = text.find("(null)", at)) text.erase(at, 6);
    return platform::percentEncodeUnreserved(text);
}

std::string qmFormField(std::string_view name, const Value& value) {
    std::string field = "&";
    field += name;
    field += '=';
    field += qmFormValue(value);
    return field;
}

Value qmReplacingInvalidUTF8(const Value& value, bool& replaced) {
    auto fix = [&replaced](const std::string& text) {
        std::string fixed = platform::Text::replacingInvalidUTF8(text);
        if (fixed != text) replaced = true;
        return fixed;
    };
    switch (value.type()) {
        case Value::Type::String: {
            std::string fixed = fix(value.string());
            return fixed == value.string() ? value : Value(std::move(fixed));
        }
        case Value::Type::Array: {
            Value copy = Value::array();
            for (const Value& item : value.arrayItems()) copy.append(qmReplacingInvalidUTF8(item, replaced));
            return copy;
        }
        case Value::Type::Dictionary: {
            Value copy = Value::dictionary();
            for (const auto& [key, item] : value.dictionaryItems()) copy.set(fix(key), qmReplacingInvalidUTF8(item, replaced));
            return copy;
        }
        default: return value;
    }
}

}  // namespace qm
