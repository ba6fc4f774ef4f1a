// Layers without animations: geometry, the tree, point conversion, key paths and contents.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "qmui/layer.hpp"

using namespace qm::platform;

namespace {

constexpr double kPi = std::numbers::pi;

std::shared_ptr<Layer> makeLayer(Rect bounds, Point position) {
    auto layer = std::make_shared<Layer>();
    layer->setBounds(bounds);
    layer->setPosition(position);
    return layer;
}

void expectRect(const Rect& actual, const Rect& expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
    EXPECT_NEAR(actual.width, expected.width, 1e-9);
    EXPECT_NEAR(actual.height, expected.height, 1e-9);
}

void expectPoint(Point actual, Point expected) {
    EXPECT_NEAR(actual.x, expected.x, 1e-9);
    EXPECT_NEAR(actual.y, expected.y, 1e-9);
}

}  // namespace

TEST(LayerGeometry, FrameComesFromPositionBoundsAnchorAndTransform) {
    auto layer = makeLayer({0, 0, 100, 50}, {200, 100});
    expectRect(layer->frame(), {150, 75, 100, 50});  // centred on its position

    layer->setBounds({30, 40, 100, 50});  // the bounds' origin is the layer's own coordinates only
    expectRect(layer->frame(), {150, 75, 100, 50});

    layer->setAnchorPoint({0, 0});
    expectRect(layer->frame(), {200, 100, 100, 50});
    layer->setTransform(Transform3D::scale(2, 2, 1));  // grows away from the anchor
    expectRect(layer->frame(), {200, 100, 200, 100});

    // A quarter turn about the centre stands the 100 × 50 layer on end.
    layer->setAnchorPoint({0.5, 0.5});
    layer->setTransform(Transform3D::rotation(kPi / 2, 0, 0, 1));
    expectRect(layer->frame(), {175, 50, 50, 100});
}

TEST(LayerGeometry, SettingTheFrameSolvesPositionAndSize) {
    auto layer = std::make_shared<Layer>();
    layer->setAnchorPoint({0.25, 0.5});
    layer->setFrame({10, 20, 80, 40});
    expectRect(layer->bounds(), {0, 0, 80, 40});
    expectPoint(layer->position(), {10 + 0.25 * 80, 20 + 0.5 * 40});

    layer->setFrame({110, 60, -80, -40});  // a negative size counts from the other side
    expectRect(layer->frame(), {30, 20, 80, 40});

    // Under a scale the bounds take the unscaled size.
    layer->setTransform(Transform3D::scale(2, 0.5, 1));
    layer->setFrame({0, 0, 100, 60});
    expectRect(layer->bounds(), {0, 0, 50, 120});
    expectRect(layer->frame(), {0, 0, 100, 60});

    // At 45° any square fits many sizes: only the position moves.
    layer->setTransform(Transform3D::rotation(kPi / 4, 0, 0, 1));
    const Rect before = layer->frame();
    layer->setFrame({500, 500, 10, 10});
    EXPECT_NEAR(layer->frame().x, 500, 1e-9);
    EXPECT_NEAR(layer->frame().y, 500, 1e-9);
    EXPECT_NEAR(layer->frame().width, before.width, 1e-9);
}

TEST(LayerGeometry, NonFiniteNumbersAreRefused) {
    auto layer = makeLayer({0, 0, 10, 10}, {5, 5});
    layer->setPosition({NAN, 1});
    layer->setBounds({0, 0, INFINITY, 1});
    layer->setFrame({NAN, NAN, NAN, NAN});
    layer->setOpacity(NAN);
    Transform3D broken;
    broken.m34 = NAN;
    layer->setTransform(broken);
    expectRect(layer->frame(), {0, 0, 10, 10});
    EXPECT_EQ(layer->opacity(), 1);
    EXPECT_TRUE(layer->transform().isIdentity());
    EXPECT_FALSE(layer->setValue("position.x", NAN));
    EXPECT_EQ(layer->position().x, 5);
}

TEST(LayerTree, SublayersKeepOrderAndOneSuperlayer) {
    auto root = std::make_shared<Layer>(), a = std::make_shared<Layer>(), b = std::make_shared<Layer>(),
         c = std::make_shared<Layer>(), d = std::make_shared<Layer>();
    root->addSublayer(a);
    root->addSublayer(c);
    root->insertSublayerBelow(b, c.get());
    root->insertSublayerAbove(d, nullptr);  // no sibling: to the front
    EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<Layer>>{a, b, c, d}));
    EXPECT_EQ(b->superlayer(), root);

    root->insertSublayer(d, 0);  // moving within the same superlayer
    root->insertSublayer(a, 99);
    EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<Layer>>{d, b, c, a}));

    b->addSublayer(c);  // a layer added elsewhere leaves its old superlayer
    EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<Layer>>{d, b, a}));
    EXPECT_EQ(c->superlayer(), b);
    EXPECT_TRUE(c->isDescendant(root.get()));

    auto e = std::make_shared<Layer>();
    root->replaceSublayer(b.get(), e);
    EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<Layer>>{d, e, a}));
    EXPECT_EQ(b->superlayer(), nullptr);
    EXPECT_EQ(c->superlayer(), b);  // the replaced layer keeps its own sublayers

    a->removeFromSuperlayer();
    EXPECT_EQ(root->sublayers(), (std::vector<std::shared_ptr<Layer>>{d, e}));
    EXPECT_EQ(a->superlayer(), nullptr);
}

TEST(LayerTree, LoopsAreRefused) {
    auto root = std::make_shared<Layer>(), child = std::make_shared<Layer>(), grandchild = std::make_shared<Layer>();
    root->addSublayer(child);
    child->addSublayer(grandchild);
    grandchild->addSublayer(root);
    child->addSublayer(child);
    grandchild->replaceSublayer(nullptr, child);
    child->addSublayer(nullptr);
    EXPECT_EQ(root->superlayer(), nullptr);
    EXPECT_EQ(child->superlayer(), root);
    EXPECT_EQ(child->sublayers().size(), 1u);
    EXPECT_TRUE(grandchild->sublayers().empty());
}

TEST(LayerTree, DrawingOrderFollowsZPositionThenSublayerOrder) {
    auto root = std::make_shared<Layer>(), a = std::make_shared<Layer>(), b = std::make_shared<Layer>(),
         c = std::make_shared<Layer>();
    root->setSublayers({a, b, c});
    a->setZPosition(1);
    c->setZPosition(-1);
    EXPECT_EQ(root->sublayersInDrawingOrder(), (std::vector<std::shared_ptr<Layer>>{c, b, a}));
}

TEST(LayerTree, SuperlayerIsAWeakReference) {
    auto child = std::make_shared<Layer>();
    {
        auto root = std::make_shared<Layer>();
        root->addSublayer(child);
    }
    EXPECT_EQ(child->superlayer(), nullptr);
}

TEST(LayerConversion, PointsMapThroughPositionsBoundsTransformsAndSublayerTransforms) {
    auto parent = makeLayer({0, 0, 200, 200}, {100, 100});
    auto child = makeLayer({0, 0, 50, 20}, {60, 40});
    parent->addSublayer(child);
    expectPoint(child->convertPointTo({0, 0}, parent.get()), {35, 30});
    expectPoint(parent->convertPointTo({35, 30}, child.get()), {0, 0});

    // Scrolling the parent's bounds moves what is seen of its sublayers.
    parent->setBounds({10, 5, 200, 200});
    expectPoint(child->convertPointTo({0, 0}, nullptr), {25, 25});

    // A quarter turn of the child: its corner (−25, −10) from the anchor lands at (10, −25).
    parent->setBounds({0, 0, 200, 200});
    child->setTransform(Transform3D::rotation(kPi / 2, 0, 0, 1));
    expectPoint(child->convertPointTo({0, 0}, parent.get()), {70, 15});
    expectPoint(child->convertPointFrom({70, 15}, parent.get()), {0, 0});
    expectRect(child->convertRectTo({0, 0, 50, 20}, parent.get()), child->frame());

    // The parent's sublayer transform scales about its centre (100, 100).
    child->setTransform(Transform3D::identity());
    parent->setSublayerTransform(Transform3D::scale(2, 2, 1));
    expectPoint(child->convertPointTo({0, 0}, parent.get()), {-30, -40});
    expectPoint(parent->convertPointTo({-30, -40}, child.get()), {0, 0});

    // Layers of separate trees meet in their roots' coordinates.
    auto other = makeLayer({0, 0, 10, 10}, {5, 5});
    expectPoint(child->convertPointTo({0, 0}, other.get()), {-30, -40});
}

TEST(LayerKeyPaths, PartsOfPropertiesReadAndWrite) {
    auto layer = makeLayer({0, 0, 100, 50}, {10, 20});
    EXPECT_EQ(layer->valueForKeyPath("position.y"), LayerValue(20.0));
    EXPECT_EQ(layer->valueForKeyPath("bounds.size.width"), LayerValue(100.0));
    EXPECT_EQ(layer->valueForKeyPath("bounds.size"), LayerValue(Size{100, 50}));
    EXPECT_EQ(layer->valueForKeyPath("opacity"), LayerValue(1.0));

    EXPECT_TRUE(layer->setValue("position.x", 30.0));
    EXPECT_TRUE(layer->setValue("bounds.size.height", 80.0));
    EXPECT_TRUE(layer->setValue("backgroundColor", Color::redColor()));
    EXPECT_EQ(layer->position(), (Point{30, 20}));
    EXPECT_EQ(layer->bounds(), (Rect{0, 0, 100, 80}));
    EXPECT_EQ(layer->backgroundColor(), Color::redColor());

    EXPECT_FALSE(layer->setValue("position", 1.0));  // wrong type
    EXPECT_FALSE(layer->setValue("position.z", 1.0));
    EXPECT_FALSE(layer->setValue("shadowRadius", 1.0));
    EXPECT_TRUE(layer->valueForKeyPath("bounds.size.depth").isNone());
    EXPECT_TRUE(layer->valueForKeyPath("nonsense").isNone());
}

TEST(LayerKeyPaths, TransformPartsReadTheDecomposedTransformAndKeepTheRest) {
    auto layer = std::make_shared<Layer>();
    layer->setTransform(Transform3D::scale(2, 3, 1).concatenating(Transform3D::rotation(0.5, 0, 0, 1)));
    EXPECT_NEAR(*layer->valueForKeyPath("transform.rotation").number(), 0.5, 1e-12);
    EXPECT_NEAR(*layer->valueForKeyPath("transform.rotation.z").number(), 0.5, 1e-12);
    EXPECT_NEAR(*layer->valueForKeyPath("transform.rotation.x").number(), 0, 1e-12);
    EXPECT_NEAR(*layer->valueForKeyPath("transform.scale.x").number(), 2, 1e-12);
    EXPECT_NEAR(*layer->valueForKeyPath("transform.scale.y").number(), 3, 1e-12);
    EXPECT_NEAR(*layer->valueForKeyPath("transform.scale").number(), 2, 1e-12);  // (2 + 3 + 1) / 3

    EXPECT_TRUE(layer->setValue("transform.rotation.z", kPi / 2));
    EXPECT_TRUE(layer->setValue("transform.translation", Size{5, 6}));
    const Transform3D t = layer->transform();
    // Scale (2, 3) then a quarter turn: x → (0, 2), y → (−3, 0).
    EXPECT_NEAR(t.m11, 0, 1e-12);
    EXPECT_NEAR(t.m12, 2, 1e-12);
    EXPECT_NEAR(t.m21, -3, 1e-12);
    EXPECT_NEAR(t.m22, 0, 1e-12);
    EXPECT_EQ(t.m41, 5);
    EXPECT_EQ(t.m42, 6);

    layer->setTransform(Transform3D::rotation(0.7, 1, 0, 0));
    EXPECT_NEAR(*layer->valueForKeyPath("transform.rotation.x").number(), 0.7, 1e-12);
    layer->setTransform(Transform3D::rotation(-0.4, 0, 1, 0));
    EXPECT_NEAR(*layer->valueForKeyPath("transform.rotation.y").number(), -0.4, 1e-12);
}

TEST(LayerValues, TypeNamesNameTheKind) {
    EXPECT_EQ(LayerValue(Rect{}).typeName(), "CGRect");
    EXPECT_EQ(LayerValue(Point{}).typeName(), "CGPoint");
    EXPECT_EQ(LayerValue(Size{}).typeName(), "CGSize");
    EXPECT_EQ(LayerValue(Transform3D{}).typeName(), "CATransform3D");
    EXPECT_EQ(LayerValue(AffineTransform::scale(2, 2)).typeName(), "CATransform3D");
    EXPECT_EQ(LayerValue(0.5).typeName(), "number");
    EXPECT_EQ(LayerValue(Color::black()).typeName(), "color");
    EXPECT_EQ(LayerValue().typeName(), "");
}

TEST(LayerContents, GravityPlacesContentInTheBounds) {
    const Rect bounds{0, 0, 100, 50};
    const Size content{20, 10};
    expectRect(contentsPlacement(ContentsGravity::Resize, content, bounds), bounds);
    expectRect(contentsPlacement(ContentsGravity::Center, content, bounds), {40, 20, 20, 10});
    expectRect(contentsPlacement(ContentsGravity::Top, content, bounds), {40, 0, 20, 10});
    expectRect(contentsPlacement(ContentsGravity::BottomRight, content, bounds), {80, 40, 20, 10});
    expectRect(contentsPlacement(ContentsGravity::Left, content, bounds), {0, 20, 20, 10});
    // Aspect fit: 5× is as large as fits 50 high; aspect fill: 5× already covers 100 × 50.
    expectRect(contentsPlacement(ContentsGravity::ResizeAspect, {10, 10}, bounds), {25, 0, 50, 50});
    expectRect(contentsPlacement(ContentsGravity::ResizeAspectFill, {10, 10}, bounds), {0, -25, 100, 100});
    expectRect(contentsPlacement(ContentsGravity::ResizeAspect, {0, 10}, bounds), {50, 25, 0, 0});
}
