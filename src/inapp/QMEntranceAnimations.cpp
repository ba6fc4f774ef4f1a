#include "inapp/QMEntranceAnimations.hpp"

#include "qmplatform/dispatch.hpp"
#include "qmplatform/screen.hpp"
#include "qmui/layer.hpp"
#include "qmui/view.hpp"
#include "qmui/view_animation.hpp"
#include "quelmar/QM_BounceAnimation.hpp"

namespace qm::inapp {

using platform::AffineTransform;
using platform::View;
using platform::ViewAnimation;

EntranceEffect entranceEffectFor(long id) {
    switch (id) {
    case 0: case 3: case 4: case 5: case 6: return EntranceEffect::SimpleDefault;
    case 1: case 16: return EntranceEffect::PopIn;
    case 2: return EntranceEffect::Shake;
    case 7: return EntranceEffect::Zoom;
    case 17: case 18: case 19: case 20: return EntranceEffect::Spring;
    case 21: return EntranceEffect::FadeIn;
    case 22: case 23: case 24: return EntranceEffect::SlideAndFade;
    case 25: case 26: case 27: case 28: return EntranceEffect::SlideAndZoom;
    default: return EntranceEffect::None;
    }
}

void simpleDefaultAnimation(long id, View& container) {
    const platform::Rect frame = container.frame();
    AffineTransform start;
    switch (id) {
    case 3: case 24: case 28: start = AffineTransform::translation(0, frame.height); break;
    case 4: case 25: start = AffineTransform::translation(0, -frame.height); break;
    case 5: case 22: case 26: start = AffineTransform::translation(-frame.width, 0); break;
    case 6: case 23: case 27: start = AffineTransform::translation(frame.width, 0); break;
    default: start = AffineTransform::scale(0, 0); break;
    }
    container.setTransform(start);
    auto view = container.shared_from_this();
    ViewAnimation::animate(0.5, 0, 0, [view] { view->setTransform(AffineTransform()); });
}

void popInAnimation(View& container) {
    auto view = container.shared_from_this();
    container.setTransform(AffineTransform::scale(0.001, 0.001));
    ViewAnimation::animate(0.3 / 1.5, [view] { view->setTransform(AffineTransform::scale(1.1, 1.1)); },
                           [view](bool) {
                               ViewAnimation::animate(0.15, [view] { view->setTransform(AffineTransform::scale(0.9, 0.9)); },
                                                      [view](bool) {
                                                          ViewAnimation::animate(0.15, [view] {
                                                              view->setTransform(AffineTransform());
                                                          });
                                                      });
                           });
}

void fadeInAnimation(View& container, std::function<void()> done) {
    // The view is in once the fade has ended; the caller hears it then instead of holding the
    // main run loop until it does.
    auto view = container.shared_from_this();
    container.setAlpha(0);
    ViewAnimation::animate(1.3, [view] { view->setAlpha(1.0); }, [done = std::move(done)](bool) {
        if (done) done();
    });
}

void zoomingAnimation(View& container) {
    platform::BasicAnimation scale("transform.scale");
    scale.fromValue = 0.0;
    scale.toValue = 1.0;
    scale.duration = 1.0;
    scale.timingFunction = platform::TimingFunction::easeInEaseOut();
    container.layer().addAnimation(scale, "move forward by scaling");

    platform::KeyframeAnimation tilt("transform.rotation.x");
    tilt.values = {0.0, -0.3490658503988659, 0.0};
    tilt.duration = 0.4;
    tilt.timingFunctions = {platform::TimingFunction::easeInEaseOut(), platform::TimingFunction::easeInEaseOut()};
    container.layer().addAnimation(tilt, "rotate back and forth");
    container.setTransform(AffineTransform());
}

void shakeAnimation(View& container) {
    auto view = container.shared_from_this();
    container.setTransform(AffineTransform::translation(-5, 0));
    ViewAnimation::beginAnimations("shake_button", std::weak_ptr<View>(view));
    ViewAnimation::setAnimationRepeatAutoreverses(true);
    ViewAnimation::setAnimationRepeatCount(5);
    ViewAnimation::setAnimationDuration(0.06);
    ViewAnimation::setAnimationDidStop([](const std::string&, bool finished, const std::any& context) {
        // The shake ended: the view comes to rest where it belongs.
        const auto* weak = std::any_cast<std::weak_ptr<View>>(&context);
        if (!finished || !weak) return;
        if (auto shaken = weak->lock()) shaken->setTransform(AffineTransform());
    });
    container.setTransform(AffineTransform::translation(5, 0));
    ViewAnimation::commitAnimations();
}

void springInAnimation(long id, View& container) {
    const bool horizontal = id == 17 || id == 18;
    const platform::Point laidOut = container.center();
    const platform::Rect screen = platform::Screen::main().bounds();
    platform::Point start = laidOut;
    switch (id) {
    case 17: start.x = 0; break;
    case 18: start.x = screen.width; break;
    case 19: start.y = screen.height; break;
    case 20: start.y = 0; break;
    default: return;
    }
    container.setCenter(start);
    container.layoutIfNeeded();
    QM_BounceAnimation spring(horizontal ? "position.x" : "position.y");
    spring.setDuration(0.5);
    spring.setNumberOfBounces(4);
    spring.setStiffness(QMBounceAnimationStiffnessLight);
    spring.setShouldOvershoot(true);
    spring.setFromValue(horizontal ? start.x : start.y);
    spring.setToValue(horizontal ? laidOut.x : laidOut.y);
    container.layer().addAnimation(spring, "someKey");
    // The view stays where it belongs once the spring ends.
    container.layer().setValue(horizontal ? "position.x" : "position.y", horizontal ? laidOut.x : laidOut.y);
}

void animateEntrance(long id, View& container, std::function<void()> done) {
    auto finish = [&done] {
        if (done) platform::Queue::main().async(std::move(done));
    };
    switch (entranceEffectFor(id)) {
    case EntranceEffect::None: finish(); return;
    case EntranceEffect::SimpleDefault: simpleDefaultAnimation(id, container); finish(); return;
    case EntranceEffect::PopIn: popInAnimation(container); finish(); return;
    case EntranceEffect::Shake: shakeAnimation(container); finish(); return;
    case EntranceEffect::Zoom: zoomingAnimation(container); finish(); return;
    case EntranceEffect::Spring: springInAnimation(id, container); finish(); return;
    case EntranceEffect::FadeIn: fadeInAnimation(container, std::move(done)); return;
    case EntranceEffect::SlideAndFade:
        simpleDefaultAnimation(id, container);
        fadeInAnimation(container, std::move(done));
        return;
    case EntranceEffect::SlideAndZoom:
        simpleDefaultAnimation(id, container);
        zoomingAnimation(container);
        finish();
        return;
    }
}

}  // namespace qm::inapp
