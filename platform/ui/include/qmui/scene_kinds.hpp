// The kinds of view a scene can describe, beyond the built-in view, image and
// activityIndicator: controls register theirs here.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quelmar/value.hpp"

namespace qm::platform {

class View;

struct SceneContext {
    std::string baseDirectory;  // where relative file names in the scene are read from
};

class SceneKinds {
public:
    // Makes a view of the kind from its description; problems go to `errors`.
    using Factory = std::function<std::shared_ptr<View>(const Value& description, const SceneContext& context,
                                                        std::vector<std::string>& errors)>;
    static SceneKinds& shared();
    void add(std::string kind, Factory factory);
    // Nothing for an unknown kind.
    std::shared_ptr<View> make(const std::string& kind, const Value& description, const SceneContext& context,
                               std::vector<std::string>& errors) const;

private:
    std::map<std::string, Factory, std::less<>> factories_;
};

}  // namespace qm::platform
