#include "qmplatform/window.hpp"

#include "qmplatform/application.hpp"
#include "qmplatform/screen.hpp"

namespace qm::platform {

// ---------------------------------------------------------------------------------------------
// Window

Window::Window() : frame_(Screen::main().bounds()) {}

bool Window::isKeyWindow() const { return Application::shared().keyWindow().get() == this; }

void Window::makeKeyAndVisible() {
    auto self = weak_from_this().lock();
    if (!self) return;
    hidden_ = false;
    Application::shared().makeKey(self);
}

}  // namespace qm::platform
