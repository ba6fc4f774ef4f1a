// The spinning activity indicator.
#pragma once

#include "qmui/view.hpp"

namespace qm::platform {

// The platform's styles.
enum class ActivityIndicatorViewStyle { WhiteLarge = 0, White = 1, Gray = 2, Medium = 100, Large = 101 };

class ActivityIndicatorView : public View {
public:
    explicit ActivityIndicatorView(ActivityIndicatorViewStyle style = ActivityIndicatorViewStyle::Medium);
    std::string className() const override { return "UIActivityIndicatorView"; }

    ActivityIndicatorViewStyle style() const { return style_; }
    // Changes the size (37 points for the large styles, 20 for the others) and the colour.
    void setStyle(ActivityIndicatorViewStyle style);
    Color color() const { return color_; }
    void setColor(Color color) { color_ = color; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool hides);
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }
    // Clock seconds when the spinning started (the drawing turns with time from there).
    double animationStart() const { return started_; }

    Size intrinsicContentSize() const override;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;

private:
    ActivityIndicatorViewStyle style_;
    Color color_;
    bool hidesWhenStopped_ = true;
    bool animating_ = false;
    double started_ = 0;
};

}  // namespace qm::platform
