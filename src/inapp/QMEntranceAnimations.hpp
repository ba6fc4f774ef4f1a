// How an in-app campaign's view enters the screen, by its animation id: slide in, grow, pop in,
// fade in, zoom with a tilt, shake, or spring in from an edge (QM_BounceAnimation). Every
// effect acts on a container view that has been laid out, on the main thread, and runs on the
// platform clock; nothing here waits.
#pragma once

#include <functional>

namespace qm::platform {
class View;
}

namespace qm::inapp {

enum class EntranceEffect { None, SimpleDefault, PopIn, Shake, Zoom, Spring, FadeIn, SlideAndFade, SlideAndZoom };
EntranceEffect entranceEffectFor(long animationID);

// Starts the entrance of `animationID` on `container`. `done` (optional) runs on the main run
// loop once the view is fully in: when the fade ends for the fading effects, at once for the
// others (their motion needs no waiting).
void animateEntrance(long animationID, platform::View& container, std::function<void()> done = {});

// The single effects.
void simpleDefaultAnimation(long animationID, platform::View& container);
void popInAnimation(platform::View& container);
void fadeInAnimation(platform::View& container, std::function<void()> done);
void zoomingAnimation(platform::View& container);
void shakeAnimation(platform::View& container);
// Ids 17 to 20: from the left, right, bottom or top edge of the screen.
void springInAnimation(long animationID, platform::View& container);

}  // namespace qm::inapp
