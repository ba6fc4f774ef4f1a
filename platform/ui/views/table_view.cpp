#include "qmui/table_view.hpp"

#include <algorithm>
#include <cmath>

#include "qmplatform/system_log.hpp"
#include "qmui/gesture.hpp"

namespace qm::platform {

namespace {

double usable(double height, double fallback) {
    if (height == kTableViewAutomaticDimension || !std::isfinite(height)) return std::max(0.0, fallback);
    return std::max(0.0, height);
}

}  // namespace

// ---- Cells ----------------------------------------------------------------------------------

TableViewCell::TableViewCell(TableViewCellStyle style, std::string reuseIdentifier)
    : View(Rect{0, 0, 320, 44}), style_(style), reuseIdentifier_(std::move(reuseIdentifier)),
      contentView_(View::create(Rect{0, 0, 320, 44})) {
    setBackgroundColor(Color::whiteColor());
}

void TableViewCell::setSelected(bool selected, bool) { selected_ = selected; }
void TableViewCell::setHighlighted(bool highlighted, bool) { highlighted_ = highlighted; }

void TableViewCell::layoutSubviews() {
    // The content view fills the cell (made a subview on first layout: the cell must be
    // owned by a shared_ptr for that).
    if (!contentView_->superview()) insertSubview(contentView_, 0);
    contentView_->setFrame(bounds());
    if (backgroundView) {
        if (backgroundView->superview().get() != this) insertSubview(backgroundView, 0);
        backgroundView->setFrame(bounds());
    }
    if (selectedBackgroundView) {
        if (selectedBackgroundView->superview().get() != this) insertSubviewAbove(selectedBackgroundView, backgroundView);
        selectedBackgroundView->setFrame(bounds());
        selectedBackgroundView->setHidden(!(selected_ || highlighted_));
    }
}

// ---- Swipe actions --------------------------------------------------------------------------

std::shared_ptr<ContextualAction> ContextualAction::create(Style style, std::string title, Handler handler) {
    auto action = std::make_shared<ContextualAction>();
    action->style_ = style;
    action->title_ = std::move(title);
    action->handler_ = std::move(handler);
    if (style == Style::Destructive) action->backgroundColor = Color::rgba(1, 59.0 / 255, 48.0 / 255);
    return action;
}

// ---- The table ------------------------------------------------------------------------------

TableView::TableView(Rect frame, TableViewStyle style) : ScrollView(frame), style_(style) {
    setBackgroundColor(style == TableViewStyle::Plain ? Color::whiteColor() : Color::rgba(242 / 255.0, 242 / 255.0, 247 / 255.0));
    if (style != TableViewStyle::Plain) sectionFooterHeight = 28;
}

void TableView::didMoveToSuperview() {
    // Row taps arrive through a recogniser on the table, as on the platform; controls in
    // cells still take their own taps first.
    if (gestureRecognizers().empty()) {
        std::weak_ptr<View> weak = weak_from_this();
        addGestureRecognizer(std::make_shared<TapGestureRecognizer>([weak](GestureRecognizer& g) {
            if (auto self = std::static_pointer_cast<TableView>(weak.lock())) self->handleRowTap(g.locationInView(self.get()));
        }));
    }
}

void TableView::setDelegate(std::weak_ptr<TableViewDelegate> delegate) {
    tableDelegate_ = delegate;
    ScrollView::delegate = delegate;
    needsReload_ = true;
    setNeedsLayout();
}

void TableView::setTableHeaderView(std::shared_ptr<View> view) {
    if (headerView_) headerView_->removeFromSuperview();
    headerView_ = std::move(view);
    needsReload_ = true;
    setNeedsLayout();
}

void TableView::setTableFooterView(std::shared_ptr<View> view) {
    if (footerView_) footerView_->removeFromSuperview();
    footerView_ = std::move(view);
    needsReload_ = true;
    setNeedsLayout();
}

void TableView::setBackgroundView(std::shared_ptr<View> view) {
    if (backgroundView_) backgroundView_->removeFromSuperview();
    backgroundView_ = std::move(view);
    setNeedsLayout();
}

void TableView::registerCell(std::string identifier,
                             std::function<std::shared_ptr<TableViewCell>(const std::string&)> factory) {
    factories_[std::move(identifier)] = std::move(factory);
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCellWithIdentifier(const std::string& identifier) {
    auto& pool = pool_[identifier];
    if (!pool.empty()) {
        auto cell = std::move(pool.back());
        pool.pop_back();
        cell->prepareForReuse();
        return cell;
    }
    const auto factory = factories_.find(identifier);
    if (factory == factories_.end() || !factory->second) return nullptr;
    auto cell = factory->second(identifier);
    if (cell) ++cellsCreated_;
    return cell;
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCellWithIdentifier(const std::string& identifier, IndexPath) {
    auto cell = dequeueReusableCellWithIdentifier(identifier);
    if (!cell) SystemLog::write("quelmar: no cell is registered for the reuse identifier \"" + identifier + "\"");
    return cell;
}

long TableView::numberOfRowsInSection(long section) const {
    if (section < 0 || section >= static_cast<long>(sections_.size())) return 0;
    return sections_[static_cast<std::size_t>(section)].rows;
}

void TableView::enqueue(const std::shared_ptr<TableViewCell>& cell) {
    cell->removeFromSuperview();
    cell->setSelected(false);
    cell->setHighlighted(false);
    auto& pool = pool_[cell->reuseIdentifier()];
    // Cells without an identifier are not reused; a pool holds at most a screenful or two.
    if (!cell->reuseIdentifier().empty() && pool.size() < 64) pool.push_back(cell);
}

void TableView::reloadData() {
    needsReload_ = true;
    setNeedsLayout();
    layoutIfNeeded();
}

void TableView::reloadRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation) {
    for (const auto& path : paths) {
        auto it = visible_.find(path);
        if (it == visible_.end()) continue;
        if (auto d = tableDelegate()) d->didEndDisplayingCell(*this, *it->second, path);
        enqueue(it->second);
        visible_.erase(it);
    }
    needsReload_ = true;
    setNeedsLayout();
    if (updateDepth_ == 0) layoutIfNeeded();
}

void TableView::beginUpdates() { ++updateDepth_; }

void TableView::endUpdates() {
    if (updateDepth_ > 0 && --updateDepth_ == 0) layoutIfNeeded();
}

void TableView::insertRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation) {
    // Count what the data source says now against what the table had plus the change.
    std::map<long, long> added;
    for (const auto& p : paths) ++added[p.section];
    auto source = dataSource.lock();
    if (source) {
        for (const auto& [section, count] : added) {
            const long now = source->numberOfRowsInSection(*this, section);
            if (now != numberOfRowsInSection(section) + count) {
                SystemLog::write("quelmar: invalid update: the number of rows in section " + std::to_string(section) +
                                 " (" + std::to_string(now) + ") does not match the rows before the update plus those inserted; "
                                 "the table reloads instead");
                break;
            }
        }
    }
    for (auto& [path, cell] : visible_) {
        if (auto d = tableDelegate()) d->didEndDisplayingCell(*this, *cell, path);
        enqueue(cell);
    }
    visible_.clear();
    if (selected_) {
        // The selection moves down with rows inserted above it.
        long shift = 0;
        for (const auto& p : paths)
            if (p.section == selected_->section && p.row <= selected_->row) ++shift;
        selected_->row += shift;
    }
    needsReload_ = true;
    setNeedsLayout();
    if (updateDepth_ == 0) layoutIfNeeded();
}

void TableView::deleteRowsAtIndexPaths(const std::vector<IndexPath>& paths, TableViewRowAnimation) {
    std::map<long, long> removed;
    for (const auto& p : paths) ++removed[p.section];
    if (auto source = dataSource.lock()) {
        for (const auto& [section, count] : removed) {
            const long now = source->numberOfRowsInSection(*this, section);
            if (now != numberOfRowsInSection(section) - count) {
                SystemLog::write("quelmar: invalid update: the number of rows in section " + std::to_string(section) +
                                 " (" + std::to_string(now) + ") does not match the rows before the update minus those deleted; "
                                 "the table reloads instead");
                break;
            }
        }
    }
    if (selected_) {
        if (std::find(paths.begin(), paths.end(), *selected_) != paths.end()) {
            selected_.reset();
        } else {
            long shift = 0;
            for (const auto& p : paths)
                if (p.section == selected_->section && p.row < selected_->row) ++shift;
            selected_->row -= shift;
        }
    }
    for (auto& [path, cell] : visible_) {
        if (auto d = tableDelegate()) d->didEndDisplayingCell(*this, *cell, path);
        enqueue(cell);
    }
    visible_.clear();
    needsReload_ = true;
    setNeedsLayout();
    if (updateDepth_ == 0) layoutIfNeeded();
}

// Asks the data source and delegate for counts and heights and lays the sections out one
// after the other: table header, then per section its header, rows and footer, then the
// table footer.
void TableView::rebuildGeometry() {
    needsReload_ = false;
    for (auto& [path, cell] : visible_) {
        if (auto d = tableDelegate()) d->didEndDisplayingCell(*this, *cell, path);
        enqueue(cell);
    }
    visible_.clear();
    for (auto& [section, view] : headerViews_) view->removeFromSuperview();
    headerViews_.clear();
    sections_.clear();
    auto source = dataSource.lock();
    auto delegate = tableDelegate();
    double y = headerView_ ? headerView_->frame().height : 0;
    const long count = source ? std::max(0L, source->numberOfSectionsInTableView(*this)) : 0;
    sections_.reserve(static_cast<std::size_t>(count));
    for (long s = 0; s < count; ++s) {
        Section section;
        section.rows = std::max(0L, source->numberOfRowsInSection(*this, s));
        section.headerTitle = source->titleForHeaderInSection(*this, s);
        const bool hasHeaderView = delegate && delegate->viewForHeaderInSection(*this, s) != nullptr;
        double header = delegate ? delegate->heightForHeaderInSection(*this, s) : kTableViewAutomaticDimension;
        // Without a title or a header view a plain table shows no header.
        if (header == kTableViewAutomaticDimension)
            header = (section.headerTitle || hasHeaderView || style_ != TableViewStyle::Plain) ? sectionHeaderHeight : 0;
        section.headerHeight = usable(header, 0);
        double footer = delegate ? delegate->heightForFooterInSection(*this, s) : kTableViewAutomaticDimension;
        if (footer == kTableViewAutomaticDimension) footer = style_ == TableViewStyle::Plain ? 0 : sectionFooterHeight;
        section.footerHeight = usable(footer, 0);
        section.top = y;
        y += section.headerHeight;
        section.rowTops.resize(static_cast<std::size_t>(section.rows) + 1);
        for (long r = 0; r < section.rows; ++r) {
            section.rowTops[static_cast<std::size_t>(r)] = y;
            const double h = delegate ? delegate->heightForRowAtIndexPath(*this, {s, r}) : kTableViewAutomaticDimension;
            y += usable(h, rowHeight);
        }
        section.rowTops.back() = y;
        y += section.footerHeight;
        sections_.push_back(std::move(section));
    }
    if (footerView_) y += footerView_->frame().height;
    setContentSize({bounds().width, y});
    if (selected_ && (selected_->section >= count || selected_->row >= numberOfRowsInSection(selected_->section)))
        selected_.reset();
}

Rect TableView::rectForRowAtIndexPath(IndexPath p) const {
    if (p.section < 0 || p.section >= numberOfSections() || p.row < 0 || p.row >= numberOfRowsInSection(p.section))
        return {};
    const auto& tops = sections_[static_cast<std::size_t>(p.section)].rowTops;
    const auto r = static_cast<std::size_t>(p.row);
    return {0, tops[r], bounds().width, tops[r + 1] - tops[r]};
}

Rect TableView::rectForSection(long s) const {
    if (s < 0 || s >= numberOfSections()) return {};
    const Section& section = sections_[static_cast<std::size_t>(s)];
    return {0, section.top, bounds().width, section.rowTops.back() + section.footerHeight - section.top};
}

std::optional<IndexPath> TableView::indexPathForRowAtPoint(Point point) const {
    // Binary search over sections, then over the rows' tops: the cost does not grow with
    // the number of rows.
    auto it = std::upper_bound(sections_.begin(), sections_.end(), point.y,
                               [](double y, const Section& s) { return y < s.top; });
    if (it == sections_.begin()) return std::nullopt;
    const Section& section = *(it - 1);
    const auto& tops = section.rowTops;
    if (section.rows == 0 || point.y < tops.front() || point.y >= tops.back()) return std::nullopt;
    const auto row = std::upper_bound(tops.begin(), tops.end(), point.y) - tops.begin() - 1;
    return IndexPath{static_cast<long>(it - 1 - sections_.begin()), static_cast<long>(row)};
}

std::shared_ptr<TableViewCell> TableView::cellForRowAtIndexPath(IndexPath indexPath) {
    layoutIfNeeded();
    auto it = visible_.find(indexPath);
    return it == visible_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() {
    layoutIfNeeded();
    std::vector<std::shared_ptr<TableViewCell>> cells;
    for (const auto& [path, cell] : visible_) cells.push_back(cell);
    return cells;
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() {
    layoutIfNeeded();
    std::vector<IndexPath> paths;
    for (const auto& [path, cell] : visible_) paths.push_back(path);
    return paths;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell& cell) const {
    for (const auto& [path, c] : visible_)
        if (c.get() == &cell) return path;
    return std::nullopt;
}

void TableView::scrollToRowAtIndexPath(IndexPath indexPath, TableViewScrollPosition position, bool animated) {
    layoutIfNeeded();
    const Rect row = rectForRowAtIndexPath(indexPath);
    if (row.height == 0 && row.y == 0) return;
    const double visible = bounds().height;
    double y = contentOffset().y;
    switch (position) {
        case TableViewScrollPosition::Top: y = row.y; break;
        case TableViewScrollPosition::Middle: y = row.midY() - visible / 2; break;
        case TableViewScrollPosition::Bottom: y = row.maxY() - visible; break;
        case TableViewScrollPosition::None:
            if (row.y < y) y = row.y;
            else if (row.maxY() > y + visible) y = row.maxY() - visible;
            break;
    }
    y = std::clamp(y, minimumContentOffset().y, maximumContentOffset().y);
    setContentOffset({contentOffset().x, y}, animated);
    layoutIfNeeded();
}

void TableView::selectRowAtIndexPath(std::optional<IndexPath> indexPath, bool animated, TableViewScrollPosition position) {
    if (selected_) {
        if (auto it = visible_.find(*selected_); it != visible_.end()) it->second->setSelected(false, animated);
    }
    selected_ = indexPath;
    if (!indexPath) return;
    if (auto it = visible_.find(*indexPath); it != visible_.end()) it->second->setSelected(true, animated);
    if (position != TableViewScrollPosition::None) scrollToRowAtIndexPath(*indexPath, position, animated);
}

void TableView::deselectRowAtIndexPath(IndexPath indexPath, bool animated) {
    if (selected_ != indexPath) return;
    if (auto it = visible_.find(indexPath); it != visible_.end()) it->second->setSelected(false, animated);
    selected_.reset();
}

void TableView::handleRowTap(Point pointInTable) {
    if (!allowsSelection) return;
    // The table's own coordinates are its content's (the bounds origin is the offset).
    const auto path = indexPathForRowAtPoint(pointInTable);
    if (!path) return;
    const auto self = shared_from_this();
    auto delegate = tableDelegate();
    std::optional<IndexPath> target = delegate ? delegate->willSelectRowAtIndexPath(*this, *path) : path;
    if (!target) return;
    if (selected_ && *selected_ != *target) {
        const IndexPath previous = *selected_;
        deselectRowAtIndexPath(previous, false);
        if (delegate) delegate->didDeselectRowAtIndexPath(*this, previous);
    }
    selectRowAtIndexPath(target, false, TableViewScrollPosition::None);
    if (delegate) delegate->didSelectRowAtIndexPath(*this, *target);
}

std::vector<std::shared_ptr<ContextualAction>> TableView::trailingSwipeActionsForRow(IndexPath indexPath) {
    layoutIfNeeded();
    if (indexPath.section < 0 || indexPath.section >= numberOfSections() || indexPath.row < 0 ||
        indexPath.row >= numberOfRowsInSection(indexPath.section))
        return {};
    auto source = dataSource.lock();
    if (!source || !source->canEditRowAtIndexPath(*this, indexPath)) return {};
    auto delegate = tableDelegate();
    if (delegate) {
        if (auto configuration = delegate->trailingSwipeActionsConfigurationForRowAtIndexPath(*this, indexPath))
            return configuration->actions;
        if (delegate->editingStyleForRowAtIndexPath(*this, indexPath) != TableViewCellEditingStyle::Delete) return {};
    }
    if (!source->implementsCommitEditingStyle()) return {};
    // The platform's default: one Delete action that commits the edit.
    std::weak_ptr<View> weak = weak_from_this();
    return {ContextualAction::create(ContextualAction::Style::Destructive, "Delete",
                                     [weak, indexPath](ContextualAction&, View&, std::function<void(bool)> done) {
                                         auto self = std::static_pointer_cast<TableView>(weak.lock());
                                         auto src = self ? self->dataSource.lock() : nullptr;
                                         if (src) src->commitEditingStyle(*self, TableViewCellEditingStyle::Delete, indexPath);
                                         if (done) done(src != nullptr);
                                     })};
}

bool TableView::performTrailingSwipeAction(IndexPath indexPath, std::size_t index) {
    const auto actions = trailingSwipeActionsForRow(indexPath);
    if (index >= actions.size() || !actions[index]->handler()) return false;
    const auto self = shared_from_this();
    std::shared_ptr<View> source = cellForRowAtIndexPath(indexPath);
    if (!source) source = self;
    actions[index]->handler()(*actions[index], *source, [](bool) {});
    return true;
}

void TableView::layoutSubviews() {
    if (needsReload_) rebuildGeometry();
    if (backgroundView_) {
        if (backgroundView_->superview().get() != this) insertSubview(backgroundView_, 0);
        backgroundView_->setFrame(bounds());
    }
    if (headerView_) {
        if (headerView_->superview().get() != this) addSubview(headerView_);
        headerView_->setFrame({0, 0, bounds().width, headerView_->frame().height});
    }
    if (footerView_) {
        if (footerView_->superview().get() != this) addSubview(footerView_);
        const double h = footerView_->frame().height;
        footerView_->setFrame({0, contentSize().height - h, bounds().width, h});
    }
    layoutVisibleRows();
}

// Cells for the rows that overlap the visible bounds; the others go back to the pool.
void TableView::layoutVisibleRows() {
    const Rect visibleRect = bounds();
    std::vector<IndexPath> wanted;
    for (long s = 0; s < numberOfSections(); ++s) {
        const Section& section = sections_[static_cast<std::size_t>(s)];
        if (section.rows == 0 || section.rowTops.back() <= visibleRect.minY() || section.rowTops.front() >= visibleRect.maxY())
            continue;
        const auto& tops = section.rowTops;
        auto first = std::upper_bound(tops.begin(), tops.end() - 1, visibleRect.minY()) - tops.begin() - 1;
        first = std::max<std::ptrdiff_t>(first, 0);
        for (auto r = first; r < section.rows && tops[static_cast<std::size_t>(r)] < visibleRect.maxY(); ++r)
            wanted.push_back({s, static_cast<long>(r)});
    }
    auto delegate = tableDelegate();
    for (auto it = visible_.begin(); it != visible_.end();) {
        if (!std::binary_search(wanted.begin(), wanted.end(), it->first)) {
            if (delegate) delegate->didEndDisplayingCell(*this, *it->second, it->first);
            enqueue(it->second);
            it = visible_.erase(it);
        } else {
            ++it;
        }
    }
    auto source = dataSource.lock();
    for (const auto& path : wanted) {
        auto it = visible_.find(path);
        std::shared_ptr<TableViewCell> cell;
        if (it != visible_.end()) {
            cell = it->second;
        } else {
            if (!source) break;
            cell = source->cellForRowAtIndexPath(*this, path);
            if (!cell) {
                SystemLog::write("quelmar: the table's data source gave no cell for a row; it stays empty");
                continue;
            }
            visible_[path] = cell;
            cell->setSelected(selected_ == path);
            insertSubview(cell, backgroundView_ && backgroundView_->superview().get() == this ? 1 : 0);
            if (delegate) delegate->willDisplayCell(*this, *cell, path);
        }
        cell->setFrame(rectForRowAtIndexPath(path));
    }
}

}  // namespace qm::platform
