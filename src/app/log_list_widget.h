// The debug list box of the Qt view: shows the view model's debug lines.
#pragma once

#include <QFontMetrics>
#include <QListWidget>
#include <cstdint>

#include "app/view_model.h"

namespace app {

// A QListWidget whose horizontal scroll range is set from outside (the way a list box's
// horizontal extent is), not from the width of the lines it holds. Every row is as wide as the
// extent (uniform rows), so the view's own scroll range is the extent less the visible width; a
// line wider than its row is still drawn whole.
class LogListWidget : public QListWidget {
    Q_OBJECT
  public:
    explicit LogListWidget(QWidget* parent = nullptr);

    void setHorizontalExtent(int pixels);
    int horizontalExtent() const { return extent_; }

    // A line's width in this list's font plus the font's average character width.
    std::uint32_t measure(std::string_view text) const;

    // Brings the rows in line with the model's lines: drops the rows the model no longer holds
    // from the top, appends the lines added since the last call, sets the extent and shows the
    // end of the list (and its left edge when `scrollLeft`). Only what changed is touched.
    void follow(ViewModel& model, bool scrollLeft);

  private:
    int extent_ = 0;
    std::uint64_t shownEnd_ = 0;  // sequence number after the last row
};

}  // namespace app
