// Layout figures for qm-bench: a popup-sized problem solved from scratch, and one constant
// changed and solved incrementally. Each is the median of many runs, in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "qmui/layout_solver.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace qm::platform::layout;

struct Frame {
    Variable x, y, w, h;
    Expression right() const { return x + w; }
    Expression bottom() const { return y + h; }
    Expression centerX() const { return x + w / 2; }
    Expression centerY() const { return y + h / 2; }
};

// A popup as the in-app messages show it: a card centred on a 390×844 window with a logo, a
// title, a body, two buttons side by side, a close button, a badge, a divider and a footer.
// 10 views besides the window, 49 constraints (the window's four included), 5 of them
// inequalities and 8 optional.
struct Popup {
    Frame window, card, logo, title, body, accept, decline, close, badge, divider, footer;
    std::vector<Constraint> constraints;
    Constraint margin;  // the one the change figure moves

    Popup() {
        margin = card.x == window.x + 20;
        constraints = {
            window.x == 0, window.y == 0, window.w == 390, window.h == 844,
            margin, card.right() == window.right() - 20, card.centerY() == window.centerY(),
            logo.centerX() == card.centerX(), logo.y == card.y + 20, logo.w == 40, logo.h == logo.w,
            title.x >= card.x + 16, title.centerX() == card.centerX(), title.y == logo.bottom() + 12,
            (title.w == 180).withPriority(250), (title.w >= 180).withPriority(750), title.h == 22,
            body.x == card.x + 16, body.right() == card.right() - 16, body.y == title.bottom() + 8,
            (body.h == 60).withPriority(750), body.h >= 20,
            accept.y == body.bottom() + 16, decline.y == accept.y, accept.h == 44, decline.h == accept.h,
            accept.x == card.x + 16, decline.x == accept.right() + 8, decline.right() == card.right() - 16,
            (accept.w == decline.w).withPriority(500), (accept.w >= 120).withPriority(740),
            card.bottom() == accept.bottom() + 20, card.h <= window.h - 81,
            (close.x == card.right() - 32).withPriority(900), close.y == card.y + 8, close.w == 24, close.h == 24,
            badge.centerX() == logo.right(), badge.centerY() == logo.y, (badge.w == 18).withPriority(600),
            badge.h == badge.w, divider.x == card.x, divider.w == card.w, divider.h == 1,
            divider.y == accept.y - 8, footer.x == card.x, footer.y == card.bottom(), footer.w == card.w,
            (footer.h == 0).withPriority(100),
        };
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

void printLayoutFigures() {
    Popup popup;
    std::vector<double> fromScratch;
    for (int run = 0; run < 3000; ++run) {
        const auto start = Clock::now();
        Solver solver;
        for (const auto& c : popup.constraints) solver.addConstraint(c);
        solver.updateVariables();
        fromScratch.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }

    Solver solver;
    for (const auto& c : popup.constraints)
        if (auto result = solver.addConstraint(c); !result)
            std::fprintf(stderr, "layout bench: %s\n", result.message.c_str());
    solver.updateVariables();
    if (popup.card.w.value() != 350 || popup.accept.w.value() != 155)
        std::fprintf(stderr, "layout bench: unexpected card width %g, button width %g\n", popup.card.w.value(),
                     popup.accept.w.value());
    std::vector<double> change;
    for (int run = 0; run < 20000; ++run) {
        const double constant = run % 2 ? -20 : -24;  // card.x == window.x + 20, then + 24
        const auto start = Clock::now();
        solver.changeConstant(popup.margin, constant);
        solver.updateVariables();
        change.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (popup.card.x.value() != 20) std::fprintf(stderr, "layout bench: card at %g after the changes\n", popup.card.x.value());
    std::printf("layout.popup_us %.3f us\n", median(fromScratch));
    std::printf("layout.change_us %.3f us\n", median(change));
}
