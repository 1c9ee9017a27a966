#include "app/status_panel.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <cstdio>

#include "app/counters.h"

namespace app {

namespace {
// Letters by code: parity 0 N, 1 O, 2 E, 3 M, 4 S; stop bits 0 one, 1 one and a half, 2 two.
constexpr char kParityLetters[] = "NOEMS";
constexpr char kStopBitLetters[] = "152";

char letterOf(const char* table, std::size_t letters, int code) {
    if (code < 0 || static_cast<std::size_t>(code) >= letters)
        return '?';
    return table[code];
}
}  // namespace

QByteArray serialSettingsText(int portNumber, long speed, int dataBits, int stopBitsCode,
                              int parityCode) {
    char text[128];
    std::snprintf(text, sizeof text, "COM%d %ld,%d,%c,%c", portNumber, speed, dataBits,
                  letterOf(kStopBitLetters, sizeof kStopBitLetters - 1, stopBitsCode),
                  letterOf(kParityLetters, sizeof kParityLetters - 1, parityCode));
    return QByteArray(text);
}

StatusPanel::StatusPanel(QWidget* parent) : QWidget(parent) {
    setObjectName("statusPanel");
    QFont panelFont("MS Sans Serif");
    panelFont.setPointSize(8);
    setFont(panelFont);
    // Dialog base units as the dialog manager measures them: the average width of the 52 letters
    // (rounded) and the font's height. The font's own average character width is narrower than
    // its digits, and "00000000" would no longer fit its field.
    const QFontMetrics fm(font());
    const int alphabet = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    avgCharWidth_ = std::max(1, (alphabet / 26 + 1) / 2);
    charHeight_ = std::max(1, fm.height());
    resize(dialogRect(0, 0, kWidthDu, kHeightDu).size());

    // Template order.
    addLabel("Status:", 140, 45, 25, 10);
    addGroup("KELP Comms", 5, 5, 205, 25);
    addGroup("Device", 5, 35, 350, 25);
    addGroup("Interface", 215, 5, 140, 25);
    addLabel("Settings:", 225, 15, 30, 10);
    addValue(kSettingsText, "", 255, 15, 95, 10);
    addValue(kStatusText, "", 165, 45, 60, 10);
    addValue(kInfoRx, "00000000", 35, 15, 35, 10);
    addValue(kInfoTx, "00000000", 95, 15, 35, 10);
    addLabel("Rx:", 15, 15, 15, 10);
    addLabel("Tx:", 80, 15, 10, 10);
    addValue(kSerialRx, "00000000", 35, 45, 35, 10);
    addValue(kSerialTx, "00000000", 95, 45, 35, 10);
    addLabel("Rx:", 15, 45, 15, 10);
    addLabel("Tx:", 80, 45, 10, 10);
    addLabel("Type:", 235, 45, 20, 10);
    addValue(kTypeText, "", 260, 45, 90, 10);
}

QRect StatusPanel::dialogRect(int x, int y, int width, int height) const {
    return QRect(x * avgCharWidth_ / 4, y * charHeight_ / 8, width * avgCharWidth_ / 4,
                 height * charHeight_ / 8);
}

QLabel* StatusPanel::addLabel(const char* text, int x, int y, int w, int h) {
    auto* label = new QLabel(QString::fromLatin1(text), this);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setMargin(0);
    label->setIndent(1);
    label->setGeometry(dialogRect(x, y, w, h));
    return label;
}

QLabel* StatusPanel::addValue(int id, const char* text, int x, int y, int w, int h) {
    QLabel* label = addLabel(text, x, y, w, h);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setObjectName(QString::number(id));
    label->setProperty("controlId", id);
    controls_[id] = label;
    return label;
}

void StatusPanel::addGroup(const char* text, int x, int y, int w, int h) {
    auto* group = new QGroupBox(QString::fromLatin1(text), this);
    group->setGeometry(dialogRect(x, y, w, h));
    // The frame is drawn behind the labels and values it surrounds.
    group->lower();
    group->setAttribute(Qt::WA_TransparentForMouseEvents);
}

QLabel* StatusPanel::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

void StatusPanel::setControlText(int id, const char* text) {
    if (QLabel* label = control(id))
        label->setText(QString::fromLatin1(text ? text : ""));
}

QByteArray StatusPanel::controlText(int id) const {
    QLabel* label = control(id);
    return label ? label->text().toLatin1() : QByteArray();
}

void StatusPanel::refreshCounters() {
    char text[32];
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(infoTxCount));
    setControlText(kInfoTx, text);
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(infoRxCount));
    setControlText(kInfoRx, text);
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(serialTxCount));
    setControlText(kSerialTx, text);
    std::snprintf(text, sizeof text, "%08d", static_cast<int>(serialRxCount));
    setControlText(kSerialRx, text);
}

void StatusPanel::showSerialSettings(int portNumber, long speed, int dataBits, int stopBitsCode,
                                     int parityCode) {
    setControlText(
        kSettingsText,
        serialSettingsText(portNumber, speed, dataBits, stopBitsCode, parityCode).constData());
}

}  // namespace app
