// Table views: only visible rows get cells, cells are reused, updates keep selection and
// data in step, swipe actions and taps reach the data source and delegate.
#include <gtest/gtest.h>

#include "qmui/gesture.hpp"
#include "qmui/table_view.hpp"
#include "test_host.hpp"

using namespace qm::platform;

namespace {

class Rows : public TableViewDataSource, public TableViewDelegate {
public:
    std::vector<long> counts{100};
    std::vector<IndexPath> committed, selected, displayed;
    std::map<long, double> heights;  // by row, section 0

    long numberOfSectionsInTableView(TableView&) override { return static_cast<long>(counts.size()); }
    long numberOfRowsInSection(TableView&, long section) override { return counts[static_cast<std::size_t>(section)]; }
    std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView& table, IndexPath path) override {
        auto cell = table.dequeueReusableCellWithIdentifier("row", path);
        cell->setTag(path.row);
        return cell;
    }
    bool implementsCommitEditingStyle() const override { return true; }
    void commitEditingStyle(TableView& table, TableViewCellEditingStyle, IndexPath path) override {
        committed.push_back(path);
        --counts[static_cast<std::size_t>(path.section)];
        table.deleteRowsAtIndexPaths({path}, TableViewRowAnimation::Automatic);
    }
    double heightForRowAtIndexPath(TableView&, IndexPath path) override {
        auto it = heights.find(path.row);
        return path.section == 0 && it != heights.end() ? it->second : kTableViewAutomaticDimension;
    }
    void didSelectRowAtIndexPath(TableView&, IndexPath path) override { selected.push_back(path); }
    void willDisplayCell(TableView&, TableViewCell&, IndexPath path) override { displayed.push_back(path); }
};

struct TableFixture : ::testing::Test {
    qm::testkit::TestHost host;
    std::shared_ptr<Rows> rows = std::make_shared<Rows>();
    std::shared_ptr<TableView> table = std::make_shared<TableView>(Rect{0, 0, 320, 440});
    std::shared_ptr<View> root = View::create({0, 0, 320, 440});

    void SetUp() override {
        root->addSubview(table);
        table->registerCell("row", [](const std::string& id) {
            return std::make_shared<TableViewCell>(TableViewCellStyle::Default, id);
        });
        table->dataSource = rows;
        table->setDelegate(rows);
        table->reloadData();
    }
    std::vector<long> visibleRows() {
        std::vector<long> out;
        for (auto p : table->indexPathsForVisibleRows()) out.push_back(p.row);
        return out;
    }
};

}  // namespace

TEST_F(TableFixture, OnlyVisibleRowsHaveCellsAndScrollingReusesThem) {
    // 440 points of 44-point rows: ten rows.
    EXPECT_EQ(table->contentSize().height, 4400);
    EXPECT_EQ(visibleRows(), (std::vector<long>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(table->cellsCreated(), 10u);
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 3})->frame(), (Rect{0, 132, 320, 44}));
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 50}), nullptr);

    // Half a row down: row 10 comes into view, row 0 is still partly visible.
    table->setContentOffset({0, 22});
    table->layoutIfNeeded();
    EXPECT_EQ(visibleRows().front(), 0);
    EXPECT_EQ(visibleRows().back(), 10);
    EXPECT_EQ(table->cellsCreated(), 11u);

    // Far down: the cells that left are reused, none are made.
    table->setContentOffset({0, 2200});
    table->layoutIfNeeded();
    EXPECT_EQ(visibleRows(), (std::vector<long>{50, 51, 52, 53, 54, 55, 56, 57, 58, 59}));
    EXPECT_EQ(table->cellsCreated(), 11u);
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 55})->tag(), 55);
    EXPECT_EQ(table->subviews().size(), 10u);  // cells that left are out of the tree
}

TEST_F(TableFixture, HeightsFromTheDelegatePlaceRowsAndHitTests) {
    rows->heights = {{0, 100}, {1, 10}};
    table->reloadData();
    EXPECT_EQ(table->rectForRowAtIndexPath({0, 1}), (Rect{0, 100, 320, 10}));
    EXPECT_EQ(table->rectForRowAtIndexPath({0, 2}), (Rect{0, 110, 320, 44}));
    EXPECT_EQ(table->indexPathForRowAtPoint({5, 105}), (IndexPath{0, 1}));
    EXPECT_EQ(table->indexPathForRowAtPoint({5, 99.5}), (IndexPath{0, 0}));
    EXPECT_FALSE(table->indexPathForRowAtPoint({5, 100000}));
    EXPECT_EQ(table->contentSize().height, 100 + 10 + 98 * 44);

    // Sections follow one another; a plain table without titles has no headers.
    rows->counts = {2, 3};
    rows->heights.clear();
    table->reloadData();
    EXPECT_EQ(table->rectForRowAtIndexPath({1, 0}), (Rect{0, 88, 320, 44}));
    EXPECT_EQ(table->indexPathForRowAtPoint({1, 133}), (IndexPath{1, 1}));
    EXPECT_EQ(table->rectForRowAtIndexPath({2, 0}), Rect{});  // no such section
}

TEST_F(TableFixture, TapsSelectRowsAndScrollingKeepsTheSelection) {
    EXPECT_TRUE(tap(*root, {100, 44 * 2 + 5}));
    ASSERT_EQ(rows->selected.size(), 1u);
    EXPECT_EQ(rows->selected[0], (IndexPath{0, 2}));
    EXPECT_TRUE(table->cellForRowAtIndexPath({0, 2})->isSelected());

    // The tap is in the table's visible coordinates; the offset picks the row.
    table->setContentOffset({0, 440});
    table->layoutIfNeeded();
    EXPECT_TRUE(tap(*root, {100, 5}));
    EXPECT_EQ(rows->selected.back(), (IndexPath{0, 10}));
    table->setContentOffset({0, 0});
    table->layoutIfNeeded();
    EXPECT_FALSE(table->cellForRowAtIndexPath({0, 2})->isSelected());  // a reused cell is not selected

    table->allowsSelection = false;
    EXPECT_TRUE(tap(*root, {100, 5}));  // the recogniser takes the tap, nothing is selected
    EXPECT_EQ(rows->selected.size(), 2u);
}

TEST_F(TableFixture, SwipeToDeleteCommitsThroughTheDataSourceAndUpdatesKeepStep) {
    table->selectRowAtIndexPath(IndexPath{0, 5}, false, TableViewScrollPosition::None);
    const auto actions = table->trailingSwipeActionsForRow({0, 2});
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_EQ(actions[0]->title(), "Delete");
    EXPECT_EQ(actions[0]->style(), ContextualAction::Style::Destructive);
    ASSERT_TRUE(table->performTrailingSwipeAction({0, 2}, 0));
    EXPECT_EQ(rows->committed, (std::vector<IndexPath>{{0, 2}}));
    EXPECT_EQ(table->numberOfRowsInSection(0), 99);
    // The selection moved up with the row deleted above it.
    EXPECT_EQ(table->indexPathForSelectedRow(), (IndexPath{0, 4}));
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 2})->tag(), 2);  // asked again for the new row 2

    // An update that does not match the data source reloads instead of going astray.
    table->insertRowsAtIndexPaths({{0, 0}}, TableViewRowAnimation::Fade);  // the count did not change
    EXPECT_EQ(table->numberOfRowsInSection(0), 99);
    EXPECT_FALSE(table->performTrailingSwipeAction({0, 500}, 0));
}
