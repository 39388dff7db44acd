#include "platform/ui/tabrows.h"

#include <QFrame>
#include <QStackedWidget>
#include <QToolButton>
#include <algorithm>

namespace platform {

namespace {

// Looks of a tab: a raised top edge, the current one in the page's colour and joined to it.
constexpr const char* kTabStyle =
    "QToolButton { border: 1px solid palette(mid); border-bottom: none;"
    " border-top-left-radius: 3px; border-top-right-radius: 3px;"
    " background: palette(button); padding: 2px 6px; }"
    "QToolButton:checked { background: palette(window); font-weight: bold; }"
    "QToolButton:hover { background: palette(light); }";

} // namespace

std::vector<std::vector<int>> BreakTabsIntoRows(const std::vector<int>& widths, int available) {
    std::vector<std::vector<int>> rows;
    int used = 0;
    for (int i = 0; i < static_cast<int>(widths.size()); ++i) {
        const int w = widths[static_cast<std::size_t>(i)];
        if (rows.empty() || (used + w > available && !rows.back().empty())) {
            rows.emplace_back();
            used = 0;
        }
        rows.back().push_back(i);
        used += w;
    }
    return rows;
}

TabRows::TabRows(QWidget* parent) : QWidget(parent) {
    frame_ = new QFrame(this);
    frame_->setFrameShape(QFrame::StyledPanel);
    frame_->setFrameShadow(QFrame::Raised);
    stack_ = new QStackedWidget(this);
    QToolButton probe;
    probe.setStyleSheet(QString::fromLatin1(kTabStyle));
    probe.setText(QStringLiteral("Xg"));
    tabHeight_ = std::max(20, probe.sizeHint().height());
}

int TabRows::addTab(QWidget* page, const QString& text) {
    const int index = count();
    auto* tab = new QToolButton(this);
    tab->setText(text);
    tab->setCheckable(true);
    tab->setAutoRaise(false);
    tab->setFocusPolicy(Qt::TabFocus);
    tab->setStyleSheet(QString::fromLatin1(kTabStyle));
    connect(tab, &QToolButton::clicked, this, [this, index] { setCurrentIndex(index); });
    tabs_.push_back(tab);
    stack_->addWidget(page);
    tab->show();
    if (current_ < 0) {
        setCurrentIndex(index);
    } else {
        Arrange();
    }
    return index;
}

QString TabRows::tabText(int index) const {
    return index >= 0 && index < count() ? tabs_[static_cast<std::size_t>(index)]->text()
                                         : QString();
}

QWidget* TabRows::widget(int index) const {
    return index >= 0 && index < count() ? stack_->widget(index) : nullptr;
}

QAbstractButton* TabRows::TabButton(int index) const {
    return index >= 0 && index < count() ? tabs_[static_cast<std::size_t>(index)] : nullptr;
}

void TabRows::setCurrentIndex(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    const bool changed = index != current_;
    current_ = index;
    for (int i = 0; i < count(); ++i) {
        tabs_[static_cast<std::size_t>(i)]->setChecked(i == index);
    }
    stack_->setCurrentIndex(index);
    Arrange();
    if (changed && OnCurrentChanged) {
        OnCurrentChanged(index);
    }
}

QRect TabRows::PageArea() const {
    const int top = static_cast<int>(rows_.size()) * tabHeight_;
    return QRect(kFrame, top + kFrame, std::max(0, width() - 2 * kFrame),
                 std::max(0, height() - top - 2 * kFrame));
}

void TabRows::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Arrange();
}

void TabRows::Arrange() {
    std::vector<int> widths;
    widths.reserve(tabs_.size());
    for (QToolButton* tab : tabs_) {
        widths.push_back(tab->sizeHint().width());
    }
    rows_ = BreakTabsIntoRows(widths, std::max(1, width()));
    // The current tab's row goes next to the page.
    const auto holding = std::find_if(rows_.begin(), rows_.end(), [this](const auto& row) {
        return std::find(row.begin(), row.end(), current_) != row.end();
    });
    if (holding != rows_.end()) {
        std::rotate(holding, holding + 1, rows_.end());
    }
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        const auto& row = rows_[r];
        int natural = 0;
        for (int i : row) {
            natural += widths[static_cast<std::size_t>(i)];
        }
        // Each row fills the width: the spare pixels are shared out over its tabs.
        const int spare = std::max(0, width() - natural);
        int x = 0;
        for (std::size_t k = 0; k < row.size(); ++k) {
            const int share = spare / static_cast<int>(row.size()) +
                              (static_cast<int>(k) < spare % static_cast<int>(row.size()) ? 1 : 0);
            const int w = widths[static_cast<std::size_t>(row[k])] + share;
            tabs_[static_cast<std::size_t>(row[k])]->setGeometry(
                x, static_cast<int>(r) * tabHeight_, w, tabHeight_);
            x += w;
        }
    }
    const int top = static_cast<int>(rows_.size()) * tabHeight_;
    frame_->setGeometry(0, top, width(), std::max(0, height() - top));
    stack_->setGeometry(PageArea());
    frame_->lower();
}

} // namespace platform
