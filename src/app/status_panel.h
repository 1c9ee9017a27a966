// The status panel at the top of the main window: traffic counters, serial settings and the
// status text. Its controls are laid out in dialog units converted with the panel font's metrics
// (horizontal: du * average character width / 4, vertical: du * character height / 8).
#pragma once

#include <QLabel>
#include <QRect>
#include <QWidget>
#include <map>

#include "app/view_model.h"

namespace app {

class StatusPanel : public QWidget {
    Q_OBJECT
  public:
    // Control ids.
    static constexpr int kStatusText = kCtlStatusText;
    static constexpr int kTypeText = kCtlTypeText;
    static constexpr int kSettingsText = kCtlSettingsText;
    static constexpr int kInfoRx = kCtlInfoRx;
    static constexpr int kInfoTx = kCtlInfoTx;
    static constexpr int kSerialRx = kCtlSerialRx;
    static constexpr int kSerialTx = kCtlSerialTx;

    // Size of the panel in dialog units.
    static constexpr int kWidthDu = 526;
    static constexpr int kHeightDu = 66;

    explicit StatusPanel(QWidget* parent = nullptr);

    // The value control of this id (2001, 2002, 2005..2009); null for any other id.
    QLabel* control(int id) const;
    // Sets a control's text; the 8-bit text is shown as Latin-1. Unknown ids are ignored.
    void setControlText(int id, const char* text);
    QByteArray controlText(int id) const;

    // Shows the model's panel texts; a control whose text is unchanged is not touched.
    void showFrom(const ViewModel& model);

    // Dialog units to pixels with the panel's font.
    QRect dialogRect(int x, int y, int width, int height) const;

  private:
    QLabel* addLabel(const char* text, int x, int y, int w, int h);
    QLabel* addValue(int id, const char* text, int x, int y, int w, int h);
    void addGroup(const char* text, int x, int y, int w, int h);

    std::map<int, QLabel*> controls_;
    int avgCharWidth_ = 1;
    int charHeight_ = 1;
};

}  // namespace app
