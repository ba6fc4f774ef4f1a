// A host app that draws, built against an installed quelmar: lays out a view tree with
// constraints, draws it into a PNG and reads the picture back through the media library.
//
//   consumer-ui OUT.png
//
// Exits 0 when the picture has the card's colour where the constraints put the card.
#include <cstdio>
#include <string>

#include "qmmedia/media.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/image.hpp"
#include "qmui/layout_constraint.hpp"
#include "qmui/picture.hpp"
#include "qmui/render.hpp"
#include "qmui/view.hpp"

namespace pf = qm::platform;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer-ui OUT.png\n");
        return 2;
    }
    pf::RunLoop::main().setMainThread();
    pf::ImageCodec::setCurrent(pf::media::imageCodec());

    auto root = pf::View::create({0, 0, 100, 60});
    root->setBackgroundColor(pf::Color::whiteColor());
    auto card = pf::View::create();
    card->setTranslatesAutoresizingMaskIntoConstraints(false);
    card->setBackgroundColor(pf::Color::redColor());
    root->addSubview(card);
    pf::LayoutConstraint::activateConstraints(pf::LayoutConstraint::constraintsWithVisualFormat(
        "H:|-20-[card]-20-|", 0, {}, {{"card", card}}));
    pf::LayoutConstraint::activateConstraints(pf::LayoutConstraint::constraintsWithVisualFormat(
        "V:|-10-[card(30)]", 0, {}, {{"card", card}}));
    root->layoutIfNeeded();
    if (!pf::renderViewToPNG(*root, argv[1], {.scale = 1.0})) {
        std::fprintf(stderr, "consumer-ui: cannot draw into %s\n", argv[1]);
        return 1;
    }
    auto image = pf::Image::withContentsOfFile(argv[1]);
    if (!image || image->frames().empty()) {
        std::fprintf(stderr, "consumer-ui: the media library cannot read %s back\n", argv[1]);
        return 1;
    }
    const pf::Bitmap& bitmap = image->frames().front();
    const bool red = bitmap.width == 100 && bitmap.height == 60 && bitmap.at(50, 25) == 0xFFFF0000u &&
                     bitmap.at(5, 5) == 0xFFFFFFFFu;
    std::printf("consumer-ui: %dx%d, card %s\n", bitmap.width, bitmap.height, red ? "drawn" : "missing");
    return red ? 0 : 1;
}
