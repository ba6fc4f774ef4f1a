// The survey in a modal (template 101): a rounded panel over a dimmed backdrop, with a web view
// that loads the campaign's survey page, a loading indicator while the page loads and a close
// button. One survey is on screen at a time; a new one takes the place of the one shown.
// Builders, taps and the web view's callbacks run on the main thread; the few entry points
// other threads may call say so.
#pragma once

#include <memory>
#include <string>

#include "quelmar/value.hpp"

namespace qm::platform {
class View;
class WebView;
class ActivityIndicatorView;
class GestureRecognizer;
}  // namespace qm::platform

namespace qm::inapp {

// Shows the survey of a template 101 campaign record over the key window (after the display
// has been counted), replacing a survey shown before. Nothing when the campaign no longer
// belongs on the current screen or there is no key window. Main thread.
void CreateSurvayModalPopup(const Value& record, bool trackViewStates);

// The close button: unless the survey reached its thank-you page this session, the close is
// recorded against the campaign (its close rule); then the survey goes.
void closeSurvayModalPopup(platform::View& closeButton);
// The backdrop's tap: the survey goes, nothing is recorded.
void tapOnSurveyModalPopup(platform::GestureRecognizer& recognizer);
// Takes every survey panel and backdrop tagged `tag` off the key window; their pages are
// emptied first so that nothing keeps playing.
void qmRemoveModalSurveyFromSuperViewForTagValue(long tag);
// Takes the survey on screen (if any) away without recording anything. Any thread (the work
// is done on the main run loop when called elsewhere).
void qmDismissModalSurvey();

// A survey page's navigation to its thank-you page ("thankYou" with the query item
// "notificationid"): the id is remembered for this launch (closing that survey then records
// nothing) and the campaign's click rule is recorded. Other addresses change nothing.
void qmRememberSurveyThankYouPage(const std::string& address);

// The survey on screen: its panel, backdrop, loading box, indicator and web view (all empty
// when none is). Any thread.
struct qmModalSurveyViews {
    std::shared_ptr<platform::View> panel;
    std::shared_ptr<platform::View> backdrop;
    std::shared_ptr<platform::View> activityBox;
    std::shared_ptr<platform::ActivityIndicatorView> indicator;
    std::shared_ptr<platform::WebView> webView;
    long animation = 0;
};
qmModalSurveyViews qmCurrentModalSurvey();
std::shared_ptr<platform::View> qmCurrentSurveyPanel();

// How the panel fits a thank-you page: the animation's length in seconds and the space kept
// below the page's content.
struct qmModalSurveyResize {
    double duration;
    double bottomPadding;
};
qmModalSurveyResize qmModalSurveyResizeValues();

}  // namespace qm::inapp
