// Image views: show an image (a still, or the frames of an animated image) or a list of
// images played as an animation, placed by the content mode.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qmplatform/image.hpp"
#include "qmui/view.hpp"

namespace qm::platform {

class ImageView : public View {
public:
    static std::shared_ptr<ImageView> create(std::shared_ptr<Image> image = nullptr);
    explicit ImageView(Rect frame = {});
    std::string className() const override { return "UIImageView"; }

    std::shared_ptr<Image> image() const { return image_; }
    void setImage(std::shared_ptr<Image> image);
    std::shared_ptr<Image> highlightedImage() const { return highlightedImage_; }
    void setHighlightedImage(std::shared_ptr<Image> image) { highlightedImage_ = std::move(image); }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) { highlighted_ = highlighted; }

    // Images shown one after the other while animating, the whole list taking
    // animationDuration (1/30 s per image when 0); repeated animationRepeatCount times
    // (0: for ever).
    const std::vector<std::shared_ptr<Image>>& animationImages() const { return animationImages_; }
    void setAnimationImages(std::vector<std::shared_ptr<Image>> images) { animationImages_ = std::move(images); }
    double animationDuration() const { return animationDuration_; }
    void setAnimationDuration(double seconds) { animationDuration_ = seconds > 0 ? seconds : 0; }
    long animationRepeatCount() const { return animationRepeatCount_; }
    void setAnimationRepeatCount(long count) { animationRepeatCount_ = count > 0 ? count : 0; }
    // An animated image plays on its own; these start and stop the animation images (and
    // the frames of an animated image).
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const;

    // What the view shows at clock time `now` (seconds of the platform clock): the frame of
    // the animation images or of an animated image; nothing when there is no image.
    const Bitmap* displayedBitmap(double now) const;
    // The image whose bitmap displayedBitmap returns (for its scale).
    std::shared_ptr<Image> displayedImage(double now) const;

    // Where the image came from when it was loaded from the network (informational: tools
    // that list a view tree print it); empty otherwise.
    std::string sourceURL;

    Size intrinsicContentSize() const override;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;

private:
    std::shared_ptr<Image> image_, highlightedImage_;
    std::vector<std::shared_ptr<Image>> animationImages_;
    double animationDuration_ = 0;
    long animationRepeatCount_ = 0;
    bool highlighted_ = false;
    std::optional<double> animationStart_;  // clock seconds when startAnimating was called
    double imageShownAt_ = 0;               // when the current image was set (its frames start)
};

}  // namespace qm::platform
