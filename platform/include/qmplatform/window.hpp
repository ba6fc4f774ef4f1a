// Windows. A window holds its root view controller. Windows are used on the main thread, as
// on the platform; they are not guarded.
#pragma once

#include <memory>
#include <utility>

#include "qmplatform/geometry.hpp"

namespace qm::platform {

class ViewController;
class View;  // the screen library's (qmui/view.hpp)

class Window : public std::enable_shared_from_this<Window> {
public:
    // A window filling the main screen.
    Window();
    explicit Window(Rect frame) : frame_(frame) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    Rect frame() const { return frame_; }
    void setFrame(Rect frame) { frame_ = frame; }
    std::shared_ptr<ViewController> rootViewController() const { return root_; }
    void setRootViewController(std::shared_ptr<ViewController> controller) { root_ = std::move(controller); }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }

    // The view the window shows its content in (the root controller's view and views added to
    // the window), made on first use by the screen library's `viewOf()`.
    std::shared_ptr<View> viewIfLoaded() const { return view_; }
    void setView(std::shared_ptr<View> view) { view_ = std::move(view); }

    bool isKeyWindow() const;
    // Adds the window to the application (if needed), shows it and makes it the key window.
    void makeKeyAndVisible();

private:
    Rect frame_;
    std::shared_ptr<ViewController> root_;
    bool hidden_ = true;
    std::shared_ptr<View> view_;
};

}  // namespace qm::platform
