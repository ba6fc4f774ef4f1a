// What the rest of the screen library reads of a layer's animations beyond its public face.
#pragma once

#include <functional>
#include <memory>

#include "qmui/layer.hpp"

namespace qm::platform {

struct LayerAccess {
    // Calls `visit` for each animation the layer holds, in order, with the time its active
    // span ends (infinite when it never does).
    static void forEachAnimation(const Layer& layer, const std::function<void(const Animation&, double end)>& visit);

    // Building presentation copies: the model's look, then its animations at `time`, then the
    // copies of its sublayers.
    static void copyForPresentation(Layer& copy, const Layer& model, const std::shared_ptr<Layer>& parent);
    static void animate(Layer& copy, const Layer& model, double time);
    static void appendPresentationSublayer(Layer& copy, std::shared_ptr<Layer> sublayer);
};

}  // namespace qm::platform
