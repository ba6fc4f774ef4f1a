// Table views: rows in sections, asked of a data source, laid out in a scroll view. Only the
// rows that are visible have cells; cells leaving the screen go back to a reuse pool by
// identifier. Heights are asked once per reload (prefix sums make scrolling cost only what
// is visible). Main thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmui/scroll_view.hpp"

namespace qm::platform {

class TableView;
class Image;

struct IndexPath {
    long section = 0;
    long row = 0;
    friend bool operator==(const IndexPath&, const IndexPath&) = default;
    friend auto operator<=>(const IndexPath&, const IndexPath&) = default;
};

// The platform's values.
enum class TableViewStyle { Plain = 0, Grouped = 1, InsetGrouped = 2 };
enum class TableViewCellStyle { Default = 0, Value1 = 1, Value2 = 2, Subtitle = 3 };
enum class TableViewCellSelectionStyle { None = 0, Blue = 1, Gray = 2, Default = 3 };
enum class TableViewCellAccessoryType { None = 0, DisclosureIndicator = 1, DetailDisclosureButton = 2, Checkmark = 3, DetailButton = 4 };
enum class TableViewCellEditingStyle { None = 0, Delete = 1, Insert = 2 };
enum class TableViewCellSeparatorStyle { None = 0, SingleLine = 1 };
enum class TableViewRowAnimation { Fade = 0, Right = 1, Left = 2, Top = 3, Bottom = 4, None = 5, Middle = 6, Automatic = 100 };
enum class TableViewScrollPosition { None = 0, Top = 1, Middle = 2, Bottom = 3 };

// "Use the table's rowHeight / the height the content asks for".
inline constexpr double kTableViewAutomaticDimension = -1;

class TableViewCell : public View {
public:
    explicit TableViewCell(TableViewCellStyle style = TableViewCellStyle::Default, std::string reuseIdentifier = {});
    std::string className() const override { return "UITableViewCell"; }

    TableViewCellStyle style() const { return style_; }
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    // Where a cell's content goes; fills the cell.
    const std::shared_ptr<View>& contentView() const { return contentView_; }
    std::shared_ptr<View> backgroundView;
    std::shared_ptr<View> selectedBackgroundView;
    TableViewCellSelectionStyle selectionStyle = TableViewCellSelectionStyle::Default;
    TableViewCellAccessoryType accessoryType = TableViewCellAccessoryType::None;
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, bool animated = false);
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted, bool animated = false);
    // Called before the table hands the cell out again from its reuse pool.
    virtual void prepareForReuse() {}

    void layoutSubviews() override;

private:
    TableViewCellStyle style_;
    std::string reuseIdentifier_;
    std::shared_ptr<View> contentView_;
    bool selected_ = false, highlighted_ = false;
};

// Optional methods have defaults; numberOfRowsInSection and cellForRowAtIndexPath are the
// required ones. Main run loop.
class TableViewDataSource {
public:
    virtual ~TableViewDataSource() = default;
    virtual long numberOfSectionsInTableView(TableView&) { return 1; }
    virtual long numberOfRowsInSection(TableView&, long section) = 0;
    virtual std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView&, IndexPath indexPath) = 0;
    virtual std::optional<std::string> titleForHeaderInSection(TableView&, long) { return std::nullopt; }
    virtual bool canEditRowAtIndexPath(TableView&, IndexPath) { return true; }
    virtual void commitEditingStyle(TableView&, TableViewCellEditingStyle, IndexPath) {}
    // True when the data source implements commitEditingStyle (the table offers
    // swipe-to-delete only then, as on the platform).
    virtual bool implementsCommitEditingStyle() const { return false; }
};

// One action shown when a row is swiped (the platform's contextual action).
class ContextualAction {
public:
    enum class Style { Normal = 0, Destructive = 1 };
    // The handler gets the action, the view it was shown in and a completion to call with
    // whether the action was performed.
    using Handler = std::function<void(ContextualAction&, View& sourceView, std::function<void(bool)> completion)>;
    static std::shared_ptr<ContextualAction> create(Style style, std::string title, Handler handler);

    Style style() const { return style_; }
    const std::string& title() const { return title_; }
    std::optional<Color> backgroundColor;
    std::shared_ptr<Image> image;
    const Handler& handler() const { return handler_; }

private:
    Style style_ = Style::Normal;
    std::string title_;
    Handler handler_;
};

struct SwipeActionsConfiguration {
    std::vector<std::shared_ptr<ContextualAction>> actions;
    bool performsFirstActionWithFullSwipe = true;
};

class TableViewDelegate : public ScrollViewDelegate {
public:
    // kTableViewAutomaticDimension: the table's rowHeight.
    virtual double heightForRowAtIndexPath(TableView&, IndexPath) { return kTableViewAutomaticDimension; }
    virtual double heightForHeaderInSection(TableView&, long) { return kTableViewAutomaticDimension; }
    virtual double heightForFooterInSection(TableView&, long) { return kTableViewAutomaticDimension; }
    virtual std::shared_ptr<View> viewForHeaderInSection(TableView&, long) { return nullptr; }
    virtual std::shared_ptr<View> viewForFooterInSection(TableView&, long) { return nullptr; }
    virtual void willDisplayCell(TableView&, TableViewCell&, IndexPath) {}
    virtual void didEndDisplayingCell(TableView&, TableViewCell&, IndexPath) {}
    virtual std::optional<IndexPath> willSelectRowAtIndexPath(TableView&, IndexPath indexPath) { return indexPath; }
    virtual void didSelectRowAtIndexPath(TableView&, IndexPath) {}
    virtual void didDeselectRowAtIndexPath(TableView&, IndexPath) {}
    virtual TableViewCellEditingStyle editingStyleForRowAtIndexPath(TableView&, IndexPath) {
        return TableViewCellEditingStyle::Delete;
    }
    // Nothing: the platform's default (a Delete action when the data source commits edits).
    virtual std::optional<SwipeActionsConfiguration> trailingSwipeActionsConfigurationForRowAtIndexPath(TableView&, IndexPath) {
        return std::nullopt;
    }
    virtual std::optional<SwipeActionsConfiguration> leadingSwipeActionsConfigurationForRowAtIndexPath(TableView&, IndexPath) {
        return std::nullopt;
    }
};

class TableView : public ScrollView {
public:
    explicit TableView(Rect frame = {}, TableViewStyle style = TableViewStyle::Plain);
    std::string className() const override { return "UITableView"; }

    TableViewStyle style() const { return style_; }
    std::weak_ptr<TableViewDataSource> dataSource;
    // The delegate is also the scroll view's delegate, as on the platform.
    void setDelegate(std::weak_ptr<TableViewDelegate> delegate);
    std::shared_ptr<TableViewDelegate> tableDelegate() const { return tableDelegate_.lock(); }

    double rowHeight = 44;
    double sectionHeaderHeight = 28;
    double sectionFooterHeight = 0;
    double estimatedRowHeight = 0;
    TableViewCellSeparatorStyle separatorStyle = TableViewCellSeparatorStyle::SingleLine;
    std::optional<Color> separatorColor;
    bool allowsSelection = true;
    void setTableHeaderView(std::shared_ptr<View> view);
    std::shared_ptr<View> tableHeaderView() const { return headerView_; }
    void setTableFooterView(std::shared_ptr<View> view);
    std::shared_ptr<View> tableFooterView() const { return footerView_; }
    void setBackgroundView(std::shared_ptr<View> view);
    std::shared_ptr<View> backgroundView() const { return backgroundView_; }

    // Cells by reuse identifier: a factory for dequeueReusableCell to call when the pool is
    // empty.
    void registerCell(std::string identifier, std::function<std::shared_ptr<TableViewCell>(const std::string&)> factory);
    // A cell from the pool (prepareForReuse called) or a new one from the registered factory;
    // nothing when neither exists.
    std::shared_ptr<TableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier);
    std::shared_ptr<TableViewCell> dequeueReusableCellWithIdentifier(const std::string& identifier, IndexPath);

    // Asks the data source again for everything; the visible cells are made afresh at the next
    // layout.
    void reloadData();
    void reloadRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    // The data source must already answer with the new counts; a mismatch is logged and the
    // table reloads instead (the platform stops the app).
    void insertRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    void deleteRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation animation);
    void beginUpdates();
    void endUpdates();

    long numberOfSections() const { return static_cast<long>(sections_.size()); }
    long numberOfRowsInSection(long section) const;
    // The cell of a visible row; nothing for a row off screen.
    std::shared_ptr<TableViewCell> cellForRowAtIndexPath(IndexPath indexPath);
    std::vector<std::shared_ptr<TableViewCell>> visibleCells();
    std::vector<IndexPath> indexPathsForVisibleRows();
    std::optional<IndexPath> indexPathForCell(const TableViewCell& cell) const;
    std::optional<IndexPath> indexPathForRowAtPoint(Point point) const;  // content coordinates
    Rect rectForRowAtIndexPath(IndexPath indexPath) const;               // content coordinates
    Rect rectForSection(long section) const;
    void scrollToRowAtIndexPath(IndexPath indexPath, TableViewScrollPosition position, bool animated);

    std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
    void selectRowAtIndexPath(std::optional<IndexPath> indexPath, bool animated, TableViewScrollPosition position);
    void deselectRowAtIndexPath(IndexPath indexPath, bool animated);

    // Swiping a row from the trailing edge: the actions the delegate (or the platform's
    // default Delete) offers for it; empty when the row cannot be edited.
    std::vector<std::shared_ptr<ContextualAction>> trailingSwipeActionsForRow(IndexPath indexPath);
    // Performs the `index`th of those actions as a tap on its button would (the default Delete
    // commits the edit through the data source). False when there is no such action.
    bool performTrailingSwipeAction(IndexPath indexPath, std::size_t index);

    void layoutSubviews() override;

    // How many cells the table has made (for tests and benchmarks of reuse).
    std::size_t cellsCreated() const { return cellsCreated_; }

private:
    struct Section {
        long rows = 0;
        double headerHeight = 0, footerHeight = 0;
        std::optional<std::string> headerTitle;
        std::vector<double> rowTops;  // rows + 1 entries: the top of each row, then the end
        double top = 0;               // of the header, in content coordinates
    };
    void rebuildGeometry();
    void layoutVisibleRows();
    void enqueue(const std::shared_ptr<TableViewCell>& cell);
    void handleRowTap(Point pointInTable);
    void didMoveToSuperview() override;

    TableViewStyle style_;
    std::weak_ptr<TableViewDelegate> tableDelegate_;
    std::shared_ptr<View> headerView_, footerView_, backgroundView_;
    std::vector<Section> sections_;
    bool needsReload_ = true;
    int updateDepth_ = 0;
    std::map<std::string, std::function<std::shared_ptr<TableViewCell>(const std::string&)>> factories_;
    std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> pool_;
    std::map<IndexPath, std::shared_ptr<TableViewCell>> visible_;
    std::map<long, std::shared_ptr<View>> headerViews_;
    std::optional<IndexPath> selected_;
    std::size_t cellsCreated_ = 0;
};

}  // namespace qm::platform
