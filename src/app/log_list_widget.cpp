#include "app/log_list_widget.h"

#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <algorithm>

namespace app {

namespace {

class ExtentDelegate : public QStyledItemDelegate {
  public:
    explicit ExtentDelegate(LogListWidget* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(list_->horizontalExtent(),
                     QStyledItemDelegate::sizeHint(option, index).height());
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        // The viewport clips; the row itself never cuts a line short.
        QStyleOptionViewItem wide(option);
        wide.rect.setWidth(std::max(wide.rect.width(), 1 << 20));
        QStyledItemDelegate::paint(painter, wide, index);
    }

  private:
    LogListWidget* list_;
};

}  // namespace

LogListWidget::LogListWidget(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setTextElideMode(Qt::ElideNone);
    setWordWrap(false);
    setUniformItemSizes(true);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setItemDelegate(new ExtentDelegate(this));
}

void LogListWidget::setHorizontalExtent(int pixels) {
    pixels = std::max(0, pixels);
    if (pixels == extent_)
        return;
    extent_ = pixels;
    doItemsLayout();
}

std::uint32_t LogListWidget::measure(std::string_view text) const {
    const QFontMetrics fm(font());
    const int width =
        fm.horizontalAdvance(QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())));
    return static_cast<std::uint32_t>(std::max(0, width + fm.averageCharWidth()));
}

void LogListWidget::follow(ViewModel& model, bool scrollLeft) {
    setUpdatesEnabled(false);
    const std::uint64_t first = model.firstLineSeq();
    const std::uint64_t end = model.endLineSeq();
    const int rows = count();
    const std::uint64_t shownFirst = shownEnd_ - static_cast<std::uint64_t>(rows);
    const std::uint64_t stale =
        first > shownFirst ? std::min<std::uint64_t>(first - shownFirst, rows) : 0;
    if (stale == static_cast<std::uint64_t>(rows)) {
        clear();
    } else {
        for (std::uint64_t i = 0; i < stale; ++i)
            delete takeItem(0);
    }
    const auto& lines = model.lines();
    for (std::uint64_t seq = std::max(shownEnd_, first); seq < end; ++seq) {
        const std::string& line = lines[static_cast<std::size_t>(seq - first)];
        addItem(QString::fromLatin1(line.data(), static_cast<qsizetype>(line.size())));
    }
    shownEnd_ = end;

    setHorizontalExtent(
        static_cast<int>(std::min<std::uint32_t>(model.horizontalExtent(), 0x7fffffff)));
    // Scrolled to the end, the newest line is in view (the line before it at the top when the
    // list is taller than the view).
    scrollToBottom();
    if (scrollLeft)
        horizontalScrollBar()->setValue(0);
    setUpdatesEnabled(true);
}

}  // namespace app
