#include "qmui/scene.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

#include "qmplatform/image.hpp"
#include "qmplatform/json.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/screen.hpp"
#include "qmplatform/view_controller.hpp"
#include "qmplatform/window.hpp"
#include "qmui/activity_indicator.hpp"
#include "qmui/animation.hpp"
#include "qmui/button.hpp"
#include "qmui/image_view.hpp"
#include "qmui/label.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/scene_kinds.hpp"
#include "qmui/segmented_control.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

namespace {

// A plain view whose intrinsic size the scene sets.
class SceneView final : public View {
public:
    Size intrinsic{kViewNoIntrinsicMetric, kViewNoIntrinsicMetric};
    Size intrinsicContentSize() const override { return intrinsic; }
};

std::optional<double> number(const Value& v) {
    if (!v.isNumber() || !std::isfinite(v.doubleValue())) return std::nullopt;
    return v.doubleValue();
}

std::optional<Color> color(const Value& v) {
    if (!v.isString()) return std::nullopt;
    return Color::fromHex(v.string());
}

std::optional<LayoutAttribute> attribute(const Value& v) {
    if (v.isNone() || v.isNull()) return LayoutAttribute::NotAnAttribute;
    if (!v.isString()) return std::nullopt;
    for (int n = 0; n <= static_cast<int>(LayoutAttribute::FirstBaseline); ++n) {
        const auto a = static_cast<LayoutAttribute>(n);
        if (v.string() == layoutAttributeName(a)) return a;
    }
    return std::nullopt;
}

std::optional<LayoutRelation> relation(const Value& v) {
    if (v.isNone()) return LayoutRelation::Equal;
    const std::string text = v.isString() ? v.string() : std::string();
    if (text == "==") return LayoutRelation::Equal;
    if (text == "<=") return LayoutRelation::LessThanOrEqual;
    if (text == ">=") return LayoutRelation::GreaterThanOrEqual;
    return std::nullopt;
}

std::optional<ContentMode> contentMode(const Value& v) {
    static const char* names[] = {"scaleToFill", "scaleAspectFit", "scaleAspectFill", "redraw", "center",
                                  "top", "bottom", "left", "right", "topLeft", "topRight", "bottomLeft", "bottomRight"};
    if (auto n = number(v); n && *n >= 0 && *n <= 12) return static_cast<ContentMode>(static_cast<int>(*n));
    if (v.isString())
        for (int i = 0; i < 13; ++i)
            if (v.string() == names[i]) return static_cast<ContentMode>(i);
    return std::nullopt;
}

void applyPriority(View& view, const Value& v, bool hugging) {
    auto set = [&](const Value& p, LayoutAxis axis) {
        if (auto n = number(p)) {
            if (hugging) view.setContentHuggingPriority(static_cast<float>(*n), axis);
            else view.setContentCompressionResistancePriority(static_cast<float>(*n), axis);
        }
    };
    if (v.isDictionary()) {
        set(v["horizontal"], LayoutAxis::Horizontal);
        set(v["vertical"], LayoutAxis::Vertical);
    } else {
        set(v, LayoutAxis::Horizontal);
        set(v, LayoutAxis::Vertical);
    }
}

std::string joinPath(const std::string& base, const std::string& path) {
    if (path.empty() || path.front() == '/' || base.empty()) return path;
    return base + "/" + path;
}

LayerValue animationValue(const Value& v) {
    if (auto n = number(v)) return LayerValue(*n);
    if (v.isArray() && v.count() == 2 && number(v[0]) && number(v[1])) return LayerValue(Point{*number(v[0]), *number(v[1])});
    if (auto c = color(v)) return LayerValue(*c);
    return {};
}

std::optional<TextAlignment> alignment(const Value& v) {
    static const std::map<std::string, TextAlignment, std::less<>> names = {
        {"left", TextAlignment::Left},           {"center", TextAlignment::Center},
        {"right", TextAlignment::Right},         {"justified", TextAlignment::Justified},
        {"natural", TextAlignment::Natural}};
    auto it = v.isString() ? names.find(v.string()) : names.end();
    if (it == names.end()) return std::nullopt;
    return it->second;
}

// A font from "fontSize" (17 when absent) and "fontWeight" (regular, medium, semibold, bold)
// or "bold": true.
Font fontOf(const Value& v, double defaultSize) {
    static const std::map<std::string, FontWeight, std::less<>> weights = {
        {"regular", FontWeight::Regular}, {"medium", FontWeight::Medium},
        {"semibold", FontWeight::Semibold}, {"bold", FontWeight::Bold}};
    FontWeight weight = v["bold"].isBoolean() && v["bold"].boolValue() ? FontWeight::Bold : FontWeight::Regular;
    if (v["fontWeight"].isString())
        if (auto it = weights.find(v["fontWeight"].string()); it != weights.end()) weight = it->second;
    return Font::systemFont(number(v["fontSize"]).value_or(defaultSize), weight);
}

std::string textOf(const Value& v, const char* key) { return v[key].isString() ? v[key].string() : std::string(); }

// The controls' kinds: label, button and segmented.
void addControlKinds(SceneKinds& kinds) {
    kinds.add("label", [](const Value& v, const SceneContext&, std::vector<std::string>&) -> std::shared_ptr<View> {
        auto label = std::make_shared<Label>();
        label->setText(textOf(v, "text"));
        label->setFont(fontOf(v, Font::kDefaultSize));
        if (auto c = color(v["textColor"])) label->setTextColor(*c);
        if (auto a = alignment(v["alignment"])) label->setTextAlignment(*a);
        if (auto n = number(v["lines"])) label->setNumberOfLines(static_cast<int>(std::clamp(*n, 0.0, 10000.0)));
        return label;
    });
    kinds.add("button", [](const Value& v, const SceneContext&, std::vector<std::string>& errors) -> std::shared_ptr<View> {
        ButtonType type = ButtonType::System;
        if (v["type"].isString()) {
            if (v["type"].string() == "custom") type = ButtonType::Custom;
            else if (v["type"].string() != "system") errors.push_back("a button has an unknown type " + v["type"].string());
        }
        auto button = Button::create(type);
        button->setTitle(v.contains("title") ? textOf(v, "title") : textOf(v, "text"));
        button->titleLabel()->setFont(fontOf(v, Button::kDefaultFontSize));
        if (auto c = color(v["titleColor"])) button->setTitleColor(*c);
        else if (auto t = color(v["textColor"])) button->setTitleColor(*t);
        return button;
    });
    kinds.add("segmented", [](const Value& v, const SceneContext&, std::vector<std::string>&) -> std::shared_ptr<View> {
        std::vector<std::string> items;
        for (const Value& item : v["items"].arrayItems())
            if (item.isString()) items.push_back(item.string());
        auto control = std::make_shared<SegmentedControl>(std::move(items));
        if (auto n = number(v["selected"]); n && *n >= -1 && *n < control->numberOfSegments())
            control->setSelectedSegmentIndex(static_cast<int>(*n));
        return control;
    });
}

}  // namespace

// ---- Kinds ----------------------------------------------------------------------------------

SceneKinds& SceneKinds::shared() {
    // Main thread only, like views. The controls' kinds are added here rather than by static
    // initialisers, which a static library may leave out of the program.
    static SceneKinds kinds = [] {
        SceneKinds built;
        addControlKinds(built);
        return built;
    }();
    return kinds;
}

void SceneKinds::add(std::string kind, Factory factory) { factories_[std::move(kind)] = std::move(factory); }

std::shared_ptr<View> SceneKinds::make(const std::string& kind, const Value& description, const SceneContext& context,
                                       std::vector<std::string>& errors) const {
    if (kind.empty() || kind == "view") {
        auto view = std::make_shared<SceneView>();
        const Value& size = description["intrinsicSize"];
        if (size.isDictionary()) {
            view->intrinsic = {number(size["width"]).value_or(kViewNoIntrinsicMetric),
                               number(size["height"]).value_or(kViewNoIntrinsicMetric)};
        }
        return view;
    }
    if (kind == "image") {
        auto view = std::make_shared<ImageView>();
        if (const Value& file = description["image"]; file.isString()) {
            const std::string path = joinPath(context.baseDirectory, file.string());
            if (auto image = Image::withContentsOfFile(path)) view->setImage(image);
            else errors.push_back("the image " + path + " could not be read");
        }
        return view;
    }
    if (kind == "activityIndicator") {
        auto view = std::make_shared<ActivityIndicatorView>(ActivityIndicatorViewStyle::Large);
        view->startAnimating();
        return view;
    }
    auto it = factories_.find(kind);
    if (it == factories_.end()) return nullptr;
    return it->second(description, context, errors);
}

// ---- Building -------------------------------------------------------------------------------

std::optional<Scene> loadScene(const Value& description, const std::string& baseDirectory, std::vector<std::string>* errorsOut) {
    std::vector<std::string> errors;
    auto finish = [&](std::optional<Scene> scene) {
        if (scene) scene->errors = errors;
        if (errorsOut) *errorsOut = errors;
        return scene;
    };
    if (!description.isDictionary()) {
        errors.push_back("the scene is not a JSON object");
        return finish(std::nullopt);
    }
    Screen& screen = Screen::main();
    if (const Value& s = description["screen"]; s.isDictionary()) {
        const Rect current = screen.bounds();
        const double width = number(s["width"]).value_or(current.width);
        const double height = number(s["height"]).value_or(current.height);
        if (width > 0 && height > 0 && width <= 10000 && height <= 10000) screen.setBoundsSize({width, height});
        else errors.push_back("the screen size is out of range; kept " + std::to_string(current.width) + " x " +
                              std::to_string(current.height));
        if (auto scale = number(s["scale"]); scale && *scale > 0 && *scale <= 4) screen.setScale(*scale);
        if (const Value& safe = s["safeArea"]; safe.isDictionary())
            screen.setSafeAreaInsets({number(safe["top"]).value_or(0), number(safe["left"]).value_or(0),
                                      number(safe["bottom"]).value_or(0), number(safe["right"]).value_or(0)});
    }

    Scene scene;
    scene.window = std::make_shared<Window>(screen.bounds());
    scene.root = viewOf(*scene.window);
    scene.root->setAccessibilityIdentifier("window");
    if (auto background = color(description["window"]["background"])) scene.root->setBackgroundColor(*background);
    scene.views["window"] = scene.root;

    const SceneContext context{baseDirectory};
    // Views in order: a parent must come before its children.
    for (const Value& v : description["views"].arrayItems()) {
        const std::string name = v["name"].isString() ? v["name"].string() : std::string();
        if (name.empty() || scene.views.count(name)) {
            errors.push_back(name.empty() ? "a view without a name was left out" : "the view name " + name + " is used twice");
            continue;
        }
        const std::string parentName = v["parent"].isString() ? v["parent"].string() : "window";
        auto parent = scene.views.find(parentName);
        if (parent == scene.views.end()) {
            errors.push_back("the view " + name + " names an unknown parent " + parentName + " (parents come first)");
            continue;
        }
        const std::string kind = v["kind"].isString() ? v["kind"].string() : "view";
        auto view = SceneKinds::shared().make(kind, v, context, errors);
        if (!view) {
            errors.push_back("the view " + name + " has an unknown kind " + kind);
            continue;
        }
        view->setAccessibilityIdentifier(name);
        if (auto c = color(v["background"])) view->setBackgroundColor(*c);
        if (auto n = number(v["alpha"])) view->setAlpha(*n);
        if (v["hidden"].isBoolean()) view->setHidden(v["hidden"].boolValue());
        if (auto n = number(v["cornerRadius"])) view->setCornerRadius(*n);
        if (auto n = number(v["borderWidth"])) view->setBorderWidth(*n);
        if (auto c = color(v["borderColor"])) view->setBorderColor(*c);
        if (v["clipsToBounds"].isBoolean()) view->setClipsToBounds(v["clipsToBounds"].boolValue());
        if (auto n = number(v["tag"])) view->setTag(static_cast<long>(*n));
        if (auto mode = contentMode(v["contentMode"])) view->setContentMode(*mode);
        if (v.contains("hugging")) applyPriority(*view, v["hugging"], true);
        if (v.contains("compression")) applyPriority(*view, v["compression"], false);
        if (const Value& frame = v["frame"]; frame.isDictionary()) {
            view->setFrame({number(frame["x"]).value_or(0), number(frame["y"]).value_or(0),
                            number(frame["width"]).value_or(0), number(frame["height"]).value_or(0)});
        } else {
            view->setTranslatesAutoresizingMaskIntoConstraints(false);
        }
        if (const Value& t = v["transform"]; t.isDictionary()) {
            AffineTransform transform = AffineTransform::scale(number(t["scale"]).value_or(1), number(t["scale"]).value_or(1))
                                            .concatenating(AffineTransform::rotation(number(t["rotation"]).value_or(0)))
                                            .concatenating(AffineTransform::translation(number(t["tx"]).value_or(0),
                                                                                        number(t["ty"]).value_or(0)));
            view->setTransform(transform);
        }
        parent->second->addSubview(view);
        scene.views[name] = view;
    }

    auto find = [&](const Value& name) -> std::shared_ptr<View> {
        if (!name.isString()) return nullptr;
        auto it = scene.views.find(name.string());
        return it == scene.views.end() ? nullptr : it->second;
    };
    std::size_t index = 0;
    for (const Value& c : description["constraints"].arrayItems()) {
        std::vector<std::shared_ptr<LayoutConstraint>> made;
        const std::string where = "constraint " + std::to_string(index);
        if (c["format"].isString()) {
            std::map<std::string, double, std::less<>> metrics;
            for (const auto& [key, value] : c["metrics"].dictionaryItems())
                if (auto n = number(value)) metrics[key] = *n;
            std::map<std::string, std::shared_ptr<View>, std::less<>> views(scene.views.begin(), scene.views.end());
            views.erase("window");
            const auto options = static_cast<LayoutFormatOptions>(number(c["options"]).value_or(0));
            made = LayoutConstraint::constraintsWithVisualFormat(c["format"].string(), options, metrics, views);
            if (made.empty()) errors.push_back(where + ": the format \"" + c["format"].string() + "\" was not understood");
        } else {
            auto item = find(c["item"]);
            auto toItem = find(c["toItem"]);
            const auto first = attribute(c["attribute"]);
            const auto second = attribute(c["toAttribute"]);
            const auto rel = relation(c["relation"]);
            if (!item || !first || !second || !rel || (!c["toItem"].isNone() && !c["toItem"].isNull() && !toItem)) {
                errors.push_back(where + ": unknown item, attribute or relation");
            } else if (auto made1 = LayoutConstraint::constraintWithItem(item, *first, *rel, toItem, *second,
                                                                        number(c["multiplier"]).value_or(1),
                                                                        number(c["constant"]).value_or(0))) {
                if (auto p = number(c["priority"])) made1->setPriority(static_cast<float>(*p));
                if (c["identifier"].isString()) made1->identifier = c["identifier"].string();
                made.push_back(made1);
            } else {
                errors.push_back(where + ": not a constraint the layout can use");
            }
        }
        LayoutConstraint::activateConstraints(made);
        scene.constraints.push_back(std::move(made));
        ++index;
    }

    for (const Value& a : description["animations"].arrayItems()) {
        auto view = find(a["view"]);
        if (!view || !a["keyPath"].isString()) {
            errors.push_back("an animation names no known view or key path");
            continue;
        }
        BasicAnimation animation(a["keyPath"].string());
        animation.fromValue = animationValue(a["from"]);
        animation.toValue = animationValue(a["to"]);
        animation.duration = number(a["duration"]).value_or(0.25);
        if (auto delay = number(a["delay"]); delay && *delay > 0) {
            animation.beginTime = Layer::currentTime() + *delay;
            animation.fillMode = FillMode::Backwards;
        }
        const std::string timing = a["timing"].isString() ? a["timing"].string() : "easeInEaseOut";
        animation.timingFunction = timing == "linear"   ? TimingFunction::linear()
                                   : timing == "easeIn"  ? TimingFunction::easeIn()
                                   : timing == "easeOut" ? TimingFunction::easeOut()
                                                         : TimingFunction::easeInEaseOut();
        view->layer().addAnimation(animation, a["keyPath"].string());
    }
    scene.root->layoutIfNeeded();
    return finish(std::move(scene));
}

std::optional<Scene> loadSceneFile(const std::string& path, std::vector<std::string>* errors) {
    auto text = Files::readFile(path);
    if (!text) {
        if (errors) *errors = {"cannot read " + path};
        return std::nullopt;
    }
    auto parsed = json::parse(*text);
    if (!parsed) {
        if (errors) *errors = {path + " is not valid JSON"};
        return std::nullopt;
    }
    const auto slash = path.find_last_of('/');
    return loadScene(*parsed, slash == std::string::npos ? std::string(".") : path.substr(0, slash), errors);
}

std::map<std::string, Rect> Scene::frames() {
    root->layoutIfNeeded();
    std::map<std::string, Rect> out;
    for (const auto& [name, view] : views) {
        if (view == root) continue;
        out[name] = view->convertRectTo(view->bounds(), nullptr);
    }
    return out;
}

std::vector<std::size_t> Scene::brokenEntries() const {
    const auto broken = brokenConstraints(*root);
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < constraints.size(); ++i)
        for (const auto& c : constraints[i])
            if (std::find(broken.begin(), broken.end(), c) != broken.end()) {
                out.push_back(i);
                break;
            }
    return out;
}

}  // namespace qm::platform
