// Navigation bars: items at the sides and the title in the middle, taps on items and on the
// back button, the item stack's rules, and a controller's own navigation item.
#include <gtest/gtest.h>

#include "qmplatform/view_controller.hpp"
#include "qmui/gesture.hpp"
#include "qmui/navigation_bar.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

struct BarOnScreen {
    std::shared_ptr<View> root = View::create({0, 0, 375, 100});
    std::shared_ptr<NavigationBar> bar = NavigationBar::create({0, 20, 375, NavigationBar::kHeight});
    BarOnScreen() { root->addSubview(bar); }

    // Taps the middle of `view` (a view of the bar) through the root.
    bool tapView(const std::shared_ptr<View>& view) {
        root->layoutIfNeeded();
        return tap(*root, view->convertPointTo(view->bounds().center(), root.get()));
    }
};

}  // namespace

TEST(ControlsNavigationBar, ItemsSitAtTheSidesAndTheTitleInTheMiddle) {
    qm::testkit::TestHost host;
    BarOnScreen screen;
    auto& bar = screen.bar;
    EXPECT_EQ(bar->className(), "UINavigationBar");
    EXPECT_EQ(bar->intrinsicContentSize().height, 44);
    EXPECT_EQ(bar->sizeThatFits({320, 10}), (Size{320, 44}));

    auto item = NavigationItem::create("Inbox");
    auto close = BarButtonItem::withSystemItem(BarButtonSystemItem::Done);
    auto edit = BarButtonItem::withSystemItem(BarButtonSystemItem::Edit);
    auto more = BarButtonItem::withTitle("More");
    item->setLeftBarButtonItem(edit);
    item->setRightBarButtonItems({close, nullptr, more});  // the null is left out
    EXPECT_EQ(item->rightBarButtonItems().size(), 2u);
    ASSERT_TRUE(bar->pushNavigationItem(item));
    bar->layoutIfNeeded();

    auto left = bar->viewForItem(*edit), right = bar->viewForItem(*close), inner = bar->viewForItem(*more);
    ASSERT_TRUE(left && right && inner && bar->titleLabel());
    EXPECT_EQ(bar->titleLabel()->text(), "Inbox");
    EXPECT_EQ(left->frame().x, NavigationBar::kMargin);
    EXPECT_EQ(right->frame().maxX(), 375 - NavigationBar::kMargin);  // the first right item is outermost
    EXPECT_EQ(inner->frame().maxX(), right->frame().x - NavigationBar::kSpacing);
    EXPECT_DOUBLE_EQ(bar->titleLabel()->frame().midX(), 375.0 / 2);
    EXPECT_DOUBLE_EQ(bar->titleLabel()->frame().midY(), 22);
    // System items show their titles, Done in bold.
    auto done = std::dynamic_pointer_cast<Button>(right);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->currentTitle(), "Done");
    EXPECT_EQ(done->titleLabel()->font().weight, FontWeight::Semibold);
    EXPECT_EQ(std::dynamic_pointer_cast<Button>(left)->currentTitle(), "Edit");
    EXPECT_TRUE(close->title().empty());  // as on the platform: the item itself has no title
    EXPECT_EQ(close->displayedTitle(), "Done");

    // A long title moves and shortens to stay clear of the items.
    item->setTitle("A title much too long to sit in the middle of this bar without touching");
    bar->layoutIfNeeded();
    const Rect title = bar->titleLabel()->frame();
    EXPECT_GE(title.x, bar->viewForItem(*edit)->frame().maxX());
    EXPECT_LE(title.maxX(), bar->viewForItem(*more)->frame().x);

    // A title view takes the title's place.
    auto logo = View::create({0, 0, 60, 30});
    item->setTitleView(logo);
    bar->layoutIfNeeded();
    EXPECT_FALSE(bar->titleLabel());
    EXPECT_EQ(logo->superview(), bar);
    EXPECT_EQ(logo->frame(), (Rect{(375 - 60) / 2.0, 7, 60, 30}));
}

TEST(ControlsNavigationBar, TappingItemsRunsTheirActionsAndTheBackButtonPops) {
    qm::testkit::TestHost host;
    BarOnScreen screen;
    auto& bar = screen.bar;
    std::vector<std::string> taps;
    auto root = NavigationItem::create("Messages");
    root->setBackButtonTitle("All");
    auto detail = NavigationItem::create("Detail");
    auto save = BarButtonItem::withTitle("Save", BarButtonItemStyle::Done, [&](BarButtonItem& sender) {
        taps.push_back(sender.title());
    });
    detail->setRightBarButtonItem(save);
    ASSERT_TRUE(bar->setItems({root, detail}));
    EXPECT_EQ(bar->topItem(), detail);
    EXPECT_EQ(bar->backItem(), root);

    EXPECT_TRUE(screen.tapView(bar->viewForItem(*save)));
    EXPECT_EQ(taps, (std::vector<std::string>{"Save"}));
    save->setEnabled(false);  // the bar shows the change at once
    EXPECT_FALSE(screen.tapView(bar->viewForItem(*save)));
    EXPECT_FALSE(save->perform());
    EXPECT_EQ(taps.size(), 1u);

    // The back button carries the title chosen for it on the item below.
    ASSERT_TRUE(bar->backButton());
    EXPECT_NE(bar->backButton()->currentTitle()->find("All"), std::string::npos);
    bool ask = false;
    bar->shouldPopItem = [&](NavigationBar&, NavigationItem& item) {
        EXPECT_EQ(&item, detail.get());
        return ask;
    };
    EXPECT_TRUE(screen.tapView(bar->backButton()));
    EXPECT_EQ(bar->items().size(), 2u);  // refused
    ask = true;
    EXPECT_TRUE(screen.tapView(bar->backButton()));
    EXPECT_EQ(bar->items().size(), 1u);
    EXPECT_EQ(bar->topItem(), root);
    EXPECT_FALSE(bar->backButton());  // nothing to go back to
    EXPECT_FALSE(detail->navigationBar());

    // Left items replace the back button unless they supplement it; hiding it hides it.
    ASSERT_TRUE(bar->pushNavigationItem(detail));
    detail->setLeftBarButtonItem(BarButtonItem::withSystemItem(BarButtonSystemItem::Cancel));
    EXPECT_FALSE(bar->backButton());
    detail->setLeftItemsSupplementBackButton(true);
    EXPECT_TRUE(bar->backButton());
    detail->setHidesBackButton(true);
    EXPECT_FALSE(bar->backButton());
}

TEST(ControlsNavigationBar, AnItemSitsOnOneBarOnceAndBackTitlesFallBack) {
    qm::testkit::TestHost host;
    auto bar = NavigationBar::create({0, 0, 320, 44});
    auto other = NavigationBar::create({0, 0, 320, 44});
    auto first = NavigationItem::create("First");
    auto second = NavigationItem::create();
    ASSERT_TRUE(bar->pushNavigationItem(first));
    EXPECT_FALSE(bar->pushNavigationItem(first));     // already on it
    EXPECT_FALSE(other->pushNavigationItem(first));   // on another bar
    EXPECT_FALSE(bar->pushNavigationItem(nullptr));
    EXPECT_FALSE(bar->setItems({second, second}));
    EXPECT_FALSE(other->setItems({first}));
    EXPECT_EQ(bar->items().size(), 1u);
    EXPECT_TRUE(other->items().empty());

    // Back titles: the back item's title, else the title chosen, else the title, else "Back".
    ASSERT_TRUE(bar->pushNavigationItem(second));
    auto backTitle = [&] { return bar->backButton()->currentTitle().value_or(""); };
    EXPECT_NE(backTitle().find("First"), std::string::npos);
    first->setBackButtonTitle("Up");
    EXPECT_NE(backTitle().find("Up"), std::string::npos);
    first->setBackBarButtonItem(BarButtonItem::withTitle("Home"));
    EXPECT_NE(backTitle().find("Home"), std::string::npos);
    auto third = NavigationItem::create("Third");
    ASSERT_TRUE(bar->pushNavigationItem(third));
    EXPECT_NE(backTitle().find("Back"), std::string::npos);  // `second` has no title

    EXPECT_EQ(bar->popNavigationItemAnimated(), third);
    EXPECT_TRUE(other->pushNavigationItem(third));  // free again once popped
    bar->setItems({});
    EXPECT_EQ(bar->popNavigationItemAnimated(), nullptr);
    EXPECT_TRUE(other->pushNavigationItem(first));
}

TEST(ControlsNavigationBar, ControllersHaveAnItemThatFollowsTheirTitle) {
    qm::testkit::TestHost host;
    auto controller = std::make_shared<ViewController>();
    EXPECT_FALSE(controller->navigationItemIfLoaded());
    controller->setTitle("Notifications");
    auto item = navigationItemOf(*controller);
    EXPECT_EQ(navigationItemOf(*controller), item);  // one per controller
    EXPECT_EQ(item->title(), "Notifications");
    controller->setTitle("Inbox");
    EXPECT_EQ(item->title(), "Inbox");
    item->setTitle("Own");
    EXPECT_EQ(item->title(), "Own");
    EXPECT_EQ(controller->title(), "Inbox");

    // The item does not keep its controller alive.
    std::weak_ptr<ViewController> weak = controller;
    controller.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(item->title(), "Own");
}
