// Screen figures for qm-bench that go through views: a popup-sized tree of views laid out
// from scratch with its constraints, a constant changed and laid out again, and scrolling a
// long table against a short one (only visible rows should cost).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "qmui/layout_constraint.hpp"
#include "qmui/table_view.hpp"
#include "qmui/view.hpp"

namespace qm::bench {

namespace {

using Clock = std::chrono::steady_clock;
namespace pf = qm::platform;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct PopupViews {
    std::shared_ptr<pf::View> root = pf::View::create({0, 0, 390, 844});
    std::shared_ptr<pf::LayoutConstraint> margin;

    // A card centred in the window with a logo, title, body, two buttons, a close button, a
    // badge and a footer: 10 views, 34 constraints.
    PopupViews() {
        using A = pf::LayoutAttribute;
        using R = pf::LayoutRelation;
        auto make = [&](const std::shared_ptr<pf::View>& parent) {
            auto v = pf::View::create();
            v->setTranslatesAutoresizingMaskIntoConstraints(false);
            parent->addSubview(v);
            return v;
        };
        auto card = make(root);
        auto logo = make(card), title = make(card), body = make(card), accept = make(card), decline = make(card);
        auto close = make(card), badge = make(card), footer = make(card), divider = make(card);
        auto c = [](const std::shared_ptr<pf::View>& a, A aa, R r, const std::shared_ptr<pf::View>& b, A ba, double m,
                    double k, float p = 1000) {
            auto x = pf::LayoutConstraint::constraintWithItem(a, aa, r, b, ba, m, k);
            x->setPriority(p);
            x->setActive(true);
            return x;
        };
        const std::shared_ptr<pf::View> none;
        margin = c(card, A::Leading, R::Equal, root, A::Leading, 1, 20);
        c(root, A::Trailing, R::Equal, card, A::Trailing, 1, 20);
        c(card, A::CenterY, R::Equal, root, A::CenterY, 1, 0);
        c(logo, A::CenterX, R::Equal, card, A::CenterX, 1, 0);
        c(logo, A::Top, R::Equal, card, A::Top, 1, 20);
        c(logo, A::Width, R::Equal, none, A::NotAnAttribute, 1, 40);
        c(logo, A::Height, R::Equal, logo, A::Width, 1, 0);
        c(title, A::Leading, R::GreaterThanOrEqual, card, A::Leading, 1, 16);
        c(title, A::CenterX, R::Equal, card, A::CenterX, 1, 0);
        c(title, A::Top, R::Equal, logo, A::Bottom, 1, 12);
        c(title, A::Width, R::Equal, none, A::NotAnAttribute, 1, 180, 250);
        c(title, A::Height, R::Equal, none, A::NotAnAttribute, 1, 22);
        c(body, A::Leading, R::Equal, card, A::Leading, 1, 16);
        c(card, A::Trailing, R::Equal, body, A::Trailing, 1, 16);
        c(body, A::Top, R::Equal, title, A::Bottom, 1, 8);
        c(body, A::Height, R::GreaterThanOrEqual, none, A::NotAnAttribute, 1, 60);
        c(accept, A::Leading, R::Equal, body, A::Leading, 1, 0);
        c(accept, A::Top, R::Equal, body, A::Bottom, 1, 16);
        c(accept, A::Height, R::Equal, none, A::NotAnAttribute, 1, 44);
        c(decline, A::Leading, R::Equal, accept, A::Trailing, 1, 8);
        c(decline, A::Trailing, R::Equal, body, A::Trailing, 1, 0);
        c(decline, A::Width, R::Equal, accept, A::Width, 1, 0);
        c(decline, A::Top, R::Equal, accept, A::Top, 1, 0);
        c(decline, A::Height, R::Equal, accept, A::Height, 1, 0);
        c(close, A::Top, R::Equal, card, A::Top, 1, 8);
        c(card, A::Trailing, R::Equal, close, A::Trailing, 1, 8);
        c(close, A::Width, R::Equal, none, A::NotAnAttribute, 1, 30);
        c(close, A::Height, R::Equal, close, A::Width, 1, 0);
        c(badge, A::CenterX, R::Equal, logo, A::Trailing, 1, 0);
        c(badge, A::CenterY, R::Equal, logo, A::Top, 1, 0);
        c(footer, A::Top, R::Equal, accept, A::Bottom, 1, 12);
        c(card, A::Bottom, R::Equal, footer, A::Bottom, 1, 16);
        c(footer, A::CenterX, R::Equal, card, A::CenterX, 1, 0);
        c(divider, A::Top, R::Equal, footer, A::Top, 1, -6);
    }
};

class Rows : public pf::TableViewDataSource {
public:
    long count = 0;
    long numberOfRowsInSection(pf::TableView&, long) override { return count; }
    std::shared_ptr<pf::TableViewCell> cellForRowAtIndexPath(pf::TableView& table, pf::IndexPath path) override {
        return table.dequeueReusableCellWithIdentifier("row", path);
    }
};

// Microseconds to scroll a 440-point table through one screen (10 rows) in steps of 4 points.
double scrollScreen(long rows) {
    auto source = std::make_shared<Rows>();
    source->count = rows;
    auto table = std::make_shared<pf::TableView>(pf::Rect{0, 0, 320, 440});
    auto root = pf::View::create({0, 0, 320, 440});
    root->addSubview(table);
    table->registerCell("row", [](const std::string& id) {
        return std::make_shared<pf::TableViewCell>(pf::TableViewCellStyle::Default, id);
    });
    table->dataSource = source;
    table->reloadData();
    std::vector<double> samples;
    for (int round = 0; round < 15; ++round) {
        const double base = (rows / 2 - 20) * 44.0;  // the middle of the table
        table->setContentOffset({0, base});
        table->layoutIfNeeded();
        const auto start = Clock::now();
        for (double y = base; y <= base + 440; y += 4) {
            table->setContentOffset({0, y});
            table->layoutIfNeeded();
        }
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return median(samples);
}

}  // namespace

void printUIBench() {
    std::vector<double> fresh, change;
    for (int i = 0; i < 300; ++i) {
        const auto start = Clock::now();
        PopupViews popup;
        popup.root->layoutIfNeeded();
        fresh.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    PopupViews popup;
    popup.root->layoutIfNeeded();
    for (int i = 0; i < 3000; ++i) {
        const auto start = Clock::now();
        popup.margin->setConstant(20 + (i % 10));
        popup.root->layoutIfNeeded();
        change.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::printf("layout.popup_views_us %.3f us\n", median(fresh));
    std::printf("layout.change_views_us %.3f us\n", median(change));
    const double small = scrollScreen(100);
    const double large = scrollScreen(10000);
    std::printf("table.scroll_100_us %.3f us\n", small);
    std::printf("table.scroll_10000_us %.3f us\n", large);
    std::printf("table.scroll_ratio %.3f x\n", large / small);
}

}  // namespace qm::bench
