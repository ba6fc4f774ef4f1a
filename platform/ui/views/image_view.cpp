#include "qmui/image_view.hpp"

#include <cmath>

#include "qmplatform/clock.hpp"

namespace qm::platform {

namespace {
double nowSeconds() { return Clock::currentDate().seconds; }
}  // namespace

std::shared_ptr<ImageView> ImageView::create(std::shared_ptr<Image> image) {
    auto view = std::make_shared<ImageView>();
    if (image) {
        const Size size = image->size();
        view->setFrame({0, 0, size.width, size.height});
        view->setImage(std::move(image));
    }
    return view;
}

ImageView::ImageView(Rect frame) : View(frame) { setUserInteractionEnabled(false); }

void ImageView::setImage(std::shared_ptr<Image> image) {
    if (image == image_) return;
    const Size before = image_ ? image_->size() : Size{-1, -1};
    image_ = std::move(image);
    imageShownAt_ = nowSeconds();
    if (!(before == (image_ ? image_->size() : Size{-1, -1}))) invalidateIntrinsicContentSize();
}

void ImageView::startAnimating() {
    if (!animationStart_) animationStart_ = nowSeconds();
}

void ImageView::stopAnimating() { animationStart_.reset(); }

bool ImageView::isAnimating() const {
    if (!animationStart_) return false;
    if (animationRepeatCount_ == 0 || animationImages_.empty()) return true;
    // A counted animation ends by itself.
    const double duration = animationDuration_ > 0 ? animationDuration_ : animationImages_.size() / 30.0;
    return nowSeconds() - *animationStart_ < duration * static_cast<double>(animationRepeatCount_);
}

std::shared_ptr<Image> ImageView::displayedImage(double now) const {
    if (animationStart_ && !animationImages_.empty() && isAnimating()) {
        const double duration = animationDuration_ > 0 ? animationDuration_ : animationImages_.size() / 30.0;
        const double perImage = duration / static_cast<double>(animationImages_.size());
        const double elapsed = std::max(0.0, now - *animationStart_);
        const auto index = static_cast<std::size_t>(std::fmod(elapsed, duration) / perImage);
        return animationImages_[std::min(index, animationImages_.size() - 1)];
    }
    if (highlighted_ && highlightedImage_) return highlightedImage_;
    return image_;
}

const Bitmap* ImageView::displayedBitmap(double now) const {
    const auto image = displayedImage(now);
    if (!image || image->frames().empty()) return nullptr;
    // An animated image plays from when it was set.
    return &image->frameAt(now - imageShownAt_);
}

void ImageView::drawContent(Canvas& canvas, const Rect& bounds, double time) const {
    const auto image = displayedImage(time);
    if (const Bitmap* bitmap = displayedBitmap(time); bitmap && image)
        canvas.drawBitmap(*bitmap, bounds, contentMode(), image->scale());
}

Size ImageView::intrinsicContentSize() const {
    if (!image_) return {kViewNoIntrinsicMetric, kViewNoIntrinsicMetric};
    return image_->size();
}

}  // namespace qm::platform
