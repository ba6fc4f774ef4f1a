// Buttons: a control with a title, an image and a background image per control state.
// System buttons show their title in the tint colour and dim it while touched; custom
// buttons draw exactly what they are given. Values not set for a state fall back to the
// normal state's, as on the platform.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "qmplatform/image.hpp"
#include "qmui/control.hpp"
#include "qmui/image_view.hpp"
#include "qmui/label.hpp"

namespace qm::platform {

// The platform's values for the two kinds built here.
enum class ButtonType { Custom = 0, System = 1 };

// The platform's values.
enum class ControlContentHorizontalAlignment { Center = 0, Left = 1, Right = 2, Fill = 3, Leading = 4, Trailing = 5 };
enum class ControlContentVerticalAlignment { Center = 0, Top = 1, Bottom = 2, Fill = 3 };

class Button : public Control {
public:
    static std::shared_ptr<Button> create(ButtonType type = ButtonType::Custom);
    explicit Button(ButtonType type = ButtonType::Custom, Rect frame = {});
    std::string className() const override { return "UIButton"; }
    ButtonType buttonType() const { return type_; }

    // Per state (a ControlState mask such as ControlStateHighlighted | ControlStateSelected).
    // Nothing clears the state's value. Reading a state without its own value gives the
    // normal state's.
    void setTitle(std::optional<std::string> title, unsigned state = ControlStateNormal);
    std::optional<std::string> titleForState(unsigned state) const;
    void setTitleColor(std::optional<Color> color, unsigned state = ControlStateNormal);
    // Without a colour for the state or the normal state: the tint colour for system buttons
    // (grey when disabled), white for custom buttons, as on the platform.
    Color titleColorForState(unsigned state) const;
    void setImage(std::shared_ptr<Image> image, unsigned state = ControlStateNormal);
    std::shared_ptr<Image> imageForState(unsigned state) const;
    void setBackgroundImage(std::shared_ptr<Image> image, unsigned state = ControlStateNormal);
    std::shared_ptr<Image> backgroundImageForState(unsigned state) const;

    // What the button shows in its current state.
    std::optional<std::string> currentTitle() const { return titleForState(state()); }
    Color currentTitleColor() const { return titleColorForState(state()); }
    std::shared_ptr<Image> currentImage() const { return imageForState(state()); }
    std::shared_ptr<Image> currentBackgroundImage() const { return backgroundImageForState(state()); }

    // The views showing the title and the image (hidden while there is none). Change the
    // title's font through titleLabel()->setFont; the text and colour follow the state.
    const std::shared_ptr<Label>& titleLabel() const { return titleLabel_; }
    const std::shared_ptr<ImageView>& imageView() const { return imageView_; }

    // The content (image, then title, side by side) is placed inside the bounds less
    // contentEdgeInsets, by the content alignments. The title's and the image's insets then
    // move each within that area (positive insets push away from that edge); they do not
    // change the intrinsic size.
    EdgeInsets contentEdgeInsets() const { return contentInsets_; }
    void setContentEdgeInsets(EdgeInsets insets);
    EdgeInsets titleEdgeInsets() const { return titleInsets_; }
    void setTitleEdgeInsets(EdgeInsets insets);
    EdgeInsets imageEdgeInsets() const { return imageInsets_; }
    void setImageEdgeInsets(EdgeInsets insets);
    ControlContentHorizontalAlignment contentHorizontalAlignment() const { return horizontal_; }
    void setContentHorizontalAlignment(ControlContentHorizontalAlignment alignment);
    ControlContentVerticalAlignment contentVerticalAlignment() const { return vertical_; }
    void setContentVerticalAlignment(ControlContentVerticalAlignment alignment);

    void setEnabled(bool enabled) override;
    void setSelected(bool selected) override;
    void setHighlighted(bool highlighted) override;
    // Touch down highlights the button; it is no longer highlighted when touch up inside is
    // sent, as on the platform.
    void handleTap(Point point) override;

    // Image and title side by side plus the content insets. A system button's title gets 6
    // points above and below and the button is at least 30 × 30 points, so that it stays
    // easy to tap; an empty custom button has no size of its own.
    Size intrinsicContentSize() const override;
    Size sizeThatFits(Size size) const override;
    void layoutSubviews() override;
    void drawContent(Canvas& canvas, const Rect& bounds, double time) const override;
    // The colour the title is drawn in now: the current title colour, dimmed while a system
    // button is highlighted unless a highlighted colour was set.
    Color displayedTitleColor() const;

    // The title label's font size for new buttons.
    static constexpr double kDefaultFontSize = 15;

private:
    // Brings the title label and image view up to date with the current state.
    void updateContent();
    // Puts the title label and image view into the button (once it is owned by a shared_ptr).
    void ensureSubviews();
    Size titleSize() const;
    Size imageSize() const;

    template <typename T>
    static const T* lookup(const std::map<unsigned, T>& values, unsigned state) {
        auto it = values.find(state);
        if (it == values.end()) it = values.find(ControlStateNormal);
        return it == values.end() ? nullptr : &it->second;
    }

    ButtonType type_;
    std::map<unsigned, std::string> titles_;
    std::map<unsigned, Color> titleColors_;
    std::map<unsigned, std::shared_ptr<Image>> images_, backgroundImages_;
    std::shared_ptr<Label> titleLabel_;
    std::shared_ptr<ImageView> imageView_;
    EdgeInsets contentInsets_, titleInsets_, imageInsets_;
    ControlContentHorizontalAlignment horizontal_ = ControlContentHorizontalAlignment::Center;
    ControlContentVerticalAlignment vertical_ = ControlContentVerticalAlignment::Center;
};

}  // namespace qm::platform
