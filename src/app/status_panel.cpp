#include "app/status_panel.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <cstdio>

namespace app {

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
    // Opaque, so that a new value repaints the field alone and not the group box behind it.
    label->setAutoFillBackground(true);
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

void StatusPanel::showFrom(const ViewModel& model) {
    for (int id : kPanelControls) {
        QLabel* label = control(id);
        const QString text = QString::fromLatin1(model.panelText(id).c_str());
        if (label && label->text() != text)
            label->setText(text);
    }
}

}  // namespace app
