// The status panel at the top of the main window: traffic counters, serial settings and the
// status text. Its controls are laid out in dialog units converted with the panel font's metrics
// (horizontal: du * average character width / 4, vertical: du * character height / 8).
#pragma once

#include <QLabel>
#include <QRect>
#include <QWidget>
#include <map>

namespace app {

class StatusPanel : public QWidget {
    Q_OBJECT
  public:
    // Control ids.
    static constexpr int kStatusText = 2001;
    static constexpr int kTypeText = 2002;
    static constexpr int kSettingsText = 2005;
    static constexpr int kInfoRx = 2006;
    static constexpr int kInfoTx = 2007;
    static constexpr int kSerialRx = 2008;
    static constexpr int kSerialTx = 2009;

    // Size of the panel in dialog units.
    static constexpr int kWidthDu = 526;
    static constexpr int kHeightDu = 66;

    explicit StatusPanel(QWidget* parent = nullptr);

    // The value control of this id (2001, 2002, 2005..2009); null for any other id.
    QLabel* control(int id) const;
    // Sets a control's text; the 8-bit text is shown as Latin-1. Unknown ids are ignored.
    void setControlText(int id, const char* text);
    QByteArray controlText(int id) const;

    // Writes the four traffic counters as "%08d": infoTx, infoRx, serialTx, serialRx.
    void refreshCounters();
    // "COM%d %d,%d,%c,%c" into control 2005.
    void showSerialSettings(int portNumber, long speed, int dataBits, int stopBitsCode,
                            int parityCode);

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

// The settings text of control 2005, e.g. "COM1 9600,8,1,N". A stop-bit or parity code outside
// its letter table shows as '?'.
QByteArray serialSettingsText(int portNumber, long speed, int dataBits, int stopBitsCode,
                              int parityCode);

}  // namespace app
