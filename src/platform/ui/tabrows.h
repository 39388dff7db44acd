#pragma once

// A page control whose tabs wrap into several rows, as a dialog with many topics needs:
// every tab stays visible and reachable, however many there are. Qt's own tab bar keeps
// one row and hides the rest behind scroll buttons.
//
// The tabs are checkable buttons drawn as tabs; each row is stretched to the full width,
// and the row that holds the current tab sits at the bottom, next to the page, as
// multi-row tabs do. The pages lie in a framed area below the rows; only the current one
// is shown.
//
// Owns its buttons and pages (Qt parent ownership). Threads: the GUI thread only.

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QAbstractButton;
class QFrame;
class QStackedWidget;
class QToolButton;

namespace platform {

// Breaks tabs of the given widths into rows of at most available pixels, in order; a tab
// wider than a row gets a row of its own. Public for tests.
std::vector<std::vector<int>> BreakTabsIntoRows(const std::vector<int>& widths, int available);

class TabRows : public QWidget {
public:
    // The frame around the page area: a page is this much narrower than the control on
    // each side.
    static constexpr int kFrame = 4;

    explicit TabRows(QWidget* parent = nullptr);

    // Adds page under a tab with text ("&&" for a literal "&"); returns its index. The
    // first page becomes current.
    int addTab(QWidget* page, const QString& text);
    int count() const { return static_cast<int>(tabs_.size()); }
    QString tabText(int index) const;
    QWidget* widget(int index) const;
    int currentIndex() const { return current_; }
    // Shows that page and reports it through OnCurrentChanged; out of range: nothing.
    void setCurrentIndex(int index);

    // The tab indices of each row, top row first, as laid out now.
    const std::vector<std::vector<int>>& Rows() const { return rows_; }
    QAbstractButton* TabButton(int index) const;
    // Where the pages lie, in this control's coordinates.
    QRect PageArea() const;

    // Called with the new index whenever the current page changes.
    std::function<void(int)> OnCurrentChanged;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Arrange();

    std::vector<QToolButton*> tabs_;
    std::vector<std::vector<int>> rows_;
    QFrame* frame_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    int current_ = -1;
    int tabHeight_ = 0;
};

} // namespace platform
