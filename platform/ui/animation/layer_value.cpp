#include "qmui/layer_value.hpp"

#include <cmath>

namespace qm::platform {

std::string_view LayerValue::typeName() const {
    switch (kind()) {
        case Kind::Number: return "number";
        case Kind::Point: return "CGPoint";
        case Kind::Size: return "CGSize";
        case Kind::Rect: return "CGRect";
        case Kind::Color: return "color";
        case Kind::Transform: return "CATransform3D";
        case Kind::None: break;
    }
    return {};
}

bool LayerValue::isFinite() const {
    auto f = [](double v) { return std::isfinite(v); };
    switch (kind()) {
        case Kind::Number: return f(*number());
        case Kind::Point: return f(point()->x) && f(point()->y);
        case Kind::Size: return f(size()->width) && f(size()->height);
        case Kind::Rect: {
            const Rect r = *rect();
            return f(r.x) && f(r.y) && f(r.width) && f(r.height);
        }
        case Kind::Color: {
            const Color c = *color();
            return f(c.red) && f(c.green) && f(c.blue) && f(c.alpha);
        }
        case Kind::Transform: {
            const Transform3D t = *transform();
            for (double v : {t.m11, t.m12, t.m13, t.m14, t.m21, t.m22, t.m23, t.m24, t.m31, t.m32, t.m33, t.m34, t.m41,
                             t.m42, t.m43, t.m44})
                if (!f(v)) return false;
            return true;
        }
        case Kind::None: break;
    }
    return true;
}

}  // namespace qm::platform
