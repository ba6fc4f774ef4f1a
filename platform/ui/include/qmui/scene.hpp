// Scenes: a view tree with its constraints described in JSON, built into a window — what the
// qm-ui tool lays out and draws, and what layout tests feed in.
//
//   {
//     "screen": {"width": 390, "height": 844, "scale": 2,
//                "safeArea": {"top": 47, "left": 0, "bottom": 34, "right": 0}},
//     "window": {"background": "#FFFFFF"},
//     "views": [
//       {"name": "card", "parent": "window", "kind": "view", "background": "#FF0000", "cornerRadius": 8},
//       {"name": "title", "parent": "card", "kind": "label", "text": "Hello", "fontSize": 17},
//       {"name": "logo", "parent": "card", "kind": "view", "intrinsicSize": {"width": 40, "height": 40}}
//     ],
//     "constraints": [
//       {"format": "H:|-(pad)-[card]-(pad)-|", "metrics": {"pad": 20}},
//       {"item": "card", "attribute": "height", "relation": "==", "toItem": null,
//        "toAttribute": "notAnAttribute", "multiplier": 1, "constant": 200, "priority": 1000}
//     ],
//     "animations": [
//       {"view": "card", "keyPath": "position.y", "from": 900, "to": 422, "duration": 0.5}
//     ]
//   }
//
// View kinds: view, label, button, segmented, image, activityIndicator.
// View keys: name, parent ("window" when absent), kind, background, alpha, hidden,
// cornerRadius, borderWidth, borderColor, clipsToBounds, tag, intrinsicSize {width, height},
// hugging / compression (a number, or {"horizontal", "vertical"}), frame {x, y, width,
// height} (the view then keeps that frame instead of taking constraints), transform
// {"rotation" radians, "scale", "tx", "ty"}; labels: text, fontSize, fontWeight (regular,
// medium, semibold, bold) or bold, textColor, alignment (left, center, right, justified,
// natural), lines; buttons: title, titleColor, type (system, custom), fontSize, fontWeight;
// segmented controls: items (titles), selected (an index, -1 for none); images: image (a
// file path, relative to the scene file), contentMode (scaleToFill, scaleAspectFit, …, or the
// number). Constraints: "format" (with "metrics" and "options" as numbers) or item,
// attribute, relation, toItem, toAttribute, multiplier (1), constant (0), priority (1000),
// identifier. Attributes: left, right, top, bottom, leading, trailing, width, height,
// centerX, centerY, firstBaseline, lastBaseline, notAnAttribute. Animations are basic
// animations of a view's layer (keyPath, from, to as numbers or [x, y] points, duration,
// delay, timing: linear, easeIn, easeOut, easeInEaseOut).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quelmar/value.hpp"
#include "qmplatform/geometry.hpp"

namespace qm::platform {

class View;
class Window;
class LayoutConstraint;

struct Scene {
    std::shared_ptr<Window> window;
    std::shared_ptr<View> root;  // the window's view, named "window"
    std::map<std::string, std::shared_ptr<View>, std::less<>> views;
    // Per "constraints" entry, in order: what it made (a format makes several).
    std::vector<std::vector<std::shared_ptr<LayoutConstraint>>> constraints;
    // Problems with the description, one line each (the scene is built around them).
    std::vector<std::string> errors;

    // The views' frames in window coordinates, after laying the scene out.
    std::map<std::string, Rect> frames();
    // The indices of the "constraints" entries the layout had to break.
    std::vector<std::size_t> brokenEntries() const;
};

// Builds the scene; the screen is set as the description says (size, scale, safe area).
// `baseDirectory` resolves relative image paths. Nothing when the description is not an
// object (errors say why).
std::optional<Scene> loadScene(const Value& description, const std::string& baseDirectory, std::vector<std::string>* errors);
std::optional<Scene> loadSceneFile(const std::string& path, std::vector<std::string>* errors);

}  // namespace qm::platform
