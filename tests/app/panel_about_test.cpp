// The status panel's controls and texts, and the About box with the program's version record.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>

#include "app/about_box.h"
#include "app/counters.h"
#include "app/status_panel.h"
#include "app/version_record.h"
#include "app/view_model.h"
#include "qt_env.h"

using app::AboutBox;
using app::StatusPanel;

namespace {

QLabel* labelWithText(QWidget& parent, const QString& text, int nth = 0) {
    for (QLabel* l : parent.findChildren<QLabel*>()) {
        if (l->text() == text && nth-- == 0)
            return l;
    }
    return nullptr;
}

struct CounterReset {
    CounterReset() { reset(); }
    ~CounterReset() { reset(); }
    static void reset() {
        app::infoRxCount = app::infoTxCount = app::serialRxCount = app::serialTxCount = 0;
    }
};

TEST(StatusPanel, ControlsHaveTheirTextsIdsAndPositions) {
    testing_support::qtGuiApp();
    StatusPanel panel;
    EXPECT_EQ(panel.size(), panel.dialogRect(0, 0, 526, 66).size());
    for (int id : {2006, 2007, 2008, 2009})
        EXPECT_EQ(panel.controlText(id), "00000000") << id;
    for (int id : {2001, 2002, 2005})
        EXPECT_EQ(panel.controlText(id), "") << id;
    EXPECT_EQ(panel.control(100), nullptr);
    EXPECT_EQ(panel.control(2001)->geometry(), panel.dialogRect(165, 45, 60, 10));
    EXPECT_EQ(panel.control(2002)->geometry(), panel.dialogRect(260, 45, 90, 10));
    EXPECT_EQ(panel.control(2005)->geometry(), panel.dialogRect(255, 15, 95, 10));
    EXPECT_EQ(panel.control(2008)->geometry(), panel.dialogRect(35, 45, 35, 10));
    EXPECT_EQ(panel.control(2007)->frameShadow(), QFrame::Sunken);

    ASSERT_NE(labelWithText(panel, "Status:"), nullptr);
    EXPECT_EQ(labelWithText(panel, "Status:")->geometry(), panel.dialogRect(140, 45, 25, 10));
    EXPECT_EQ(labelWithText(panel, "Settings:")->geometry(), panel.dialogRect(225, 15, 30, 10));
    EXPECT_EQ(labelWithText(panel, "Type:")->geometry(), panel.dialogRect(235, 45, 20, 10));
    EXPECT_EQ(labelWithText(panel, "Rx:", 1)->geometry(), panel.dialogRect(15, 45, 15, 10));
    EXPECT_EQ(labelWithText(panel, "Tx:", 0)->geometry(), panel.dialogRect(80, 15, 10, 10));

    QStringList groups;
    for (QGroupBox* g : panel.findChildren<QGroupBox*>())
        groups << g->title();
    groups.sort();
    EXPECT_EQ(groups, (QStringList{"Device", "Interface", "KELP Comms"}));
}

TEST(StatusPanel, DialogUnitsFollowTheFontMetrics) {
    testing_support::qtGuiApp();
    StatusPanel panel;
    const QFontMetrics fm(panel.font());
    // One horizontal base unit is the rounded average width of the 52 letters.
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int base = (letters / 26 + 1) / 2;
    EXPECT_EQ(panel.dialogRect(4, 8, 40, 16), QRect(base, fm.height(), 10 * base, 2 * fm.height()));
}

TEST(StatusPanel, CountersFitTheirFields) {
    testing_support::qtGuiApp();
    StatusPanel panel;
    for (int id : {2006, 2007, 2008, 2009}) {
        QLabel* field = panel.control(id);
        ASSERT_NE(field, nullptr);
        EXPECT_LE(field->fontMetrics().horizontalAdvance("00000000"), field->contentsRect().width())
            << "control " << id;
    }
}

TEST(StatusPanel, ShowsTheCountersAsOfTheLastRefresh) {
    testing_support::qtGuiApp();
    CounterReset reset;
    StatusPanel panel;
    app::ViewModel model;
    app::infoRxCount = 1;
    app::infoTxCount = 123;
    app::serialRxCount = 100000000;
    app::serialTxCount = 2147483647;
    model.refreshCounters();
    app::infoTxCount = 124;  // counted after the refresh: shown at the next one
    panel.showFrom(model);
    EXPECT_EQ(panel.controlText(2006), "00000001");
    EXPECT_EQ(panel.controlText(2007), "00000123");
    EXPECT_EQ(panel.controlText(2008), "100000000");
    EXPECT_EQ(panel.controlText(2009), "2147483647");
    EXPECT_EQ(panel.controlText(2002), "") << "Type: stays empty";
    model.refreshCounters();
    panel.showFrom(model);
    EXPECT_EQ(panel.controlText(2007), "00000124");
}

TEST(StatusPanel, SerialSettingsText) {
    EXPECT_EQ(app::serialSettingsText(1, 9600, 8, 0, 0), "COM1 9600,8,1,N");
    EXPECT_EQ(app::serialSettingsText(3, 19200, 7, 2, 2), "COM3 19200,7,2,E");
    EXPECT_EQ(app::serialSettingsText(12, 115200, 5, 1, 4), "COM12 115200,5,5,S");
    EXPECT_EQ(app::serialSettingsText(2, 4800, 8, 0, 3), "COM2 4800,8,1,M");
    // Codes outside the letter tables never read past them.
    EXPECT_EQ(app::serialSettingsText(1, 9600, 8, 3, 5), "COM1 9600,8,?,?");
    EXPECT_EQ(app::serialSettingsText(1, 9600, 8, -1, 100000), "COM1 9600,8,?,?");
}

TEST(StatusPanel, StatusTextIsShownAsLatin1) {
    testing_support::qtGuiApp();
    StatusPanel panel;
    panel.setControlText(2001, "Initialising");
    EXPECT_EQ(panel.controlText(2001), "Initialising");
    panel.setControlText(2001, "\xC4rger");
    EXPECT_EQ(panel.control(2001)->text(), QString::fromLatin1("\xC4rger"));
    panel.setControlText(4242, "ignored");
}

// ---- version record and About box ----

std::string record(std::initializer_list<std::pair<std::string, std::string>> entries) {
    std::string r = "KELPVREC";
    auto u16 = [&r](std::size_t v) {
        r += static_cast<char>(v & 0xFF);
        r += static_cast<char>((v >> 8) & 0xFF);
    };
    u16(entries.size());
    for (const auto& [k, v] : entries) {
        u16(k.size());
        u16(v.size());
        r += k;
        r += v;
    }
    return r;
}

TEST(VersionRecord, ProgramFileCarriesItsRecord) {
    const std::string rec = app::readVersionRecord("/proc/self/exe");
    ASSERT_FALSE(rec.empty());
    EXPECT_EQ(app::versionLineFromRecord(rec), "Version 1.03  (1, 3, 0, 0)");
    EXPECT_EQ(app::queryVersionValue(rec, "\\varfileinfo\\TRANSLATION"),
              std::string("\x09\x08\xB0\x04", 4));
}

TEST(VersionRecord, FilesWithoutARecordGiveNothing) {
    EXPECT_EQ(app::readVersionRecord("/nonexistent/camlet32"), "");
    EXPECT_EQ(app::readVersionRecord("/etc/hostname"), "");
    EXPECT_EQ(app::readVersionRecord("/bin/sh"), "") << "an ELF file without the section";
    EXPECT_EQ(app::versionLineFromRecord(""), "");
}

TEST(VersionRecord, TheTranslationNamesTheStringBlock) {
    const std::string other =
        record({{"\\VarFileInfo\\Translation", std::string("\x09\x04\xE4\x04", 4)},
                {"\\StringFileInfo\\080904B0\\FileVersion", "9.99"},
                {"\\StringFileInfo\\040904E4\\FileVersion", "2.00"},
                {"\\StringFileInfo\\040904E4\\ProductVersion", "2, 0"}});
    EXPECT_EQ(app::versionLineFromRecord(other), "Version 2.00  (2, 0)");
    // Without a FileVersion the ProductVersion is not looked up.
    const std::string noFile =
        record({{"\\VarFileInfo\\Translation", std::string("\x09\x08\xB0\x04", 4)},
                {"\\StringFileInfo\\080904B0\\ProductVersion", "1"}});
    EXPECT_EQ(app::versionLineFromRecord(noFile), "Version   ()");
    const std::string longValue =
        record({{"\\VarFileInfo\\Translation", std::string("\x09\x08\xB0\x04", 4)},
                {"\\StringFileInfo\\080904B0\\FileVersion", std::string(400, '1')},
                {"\\StringFileInfo\\080904B0\\ProductVersion", "x"}});
    EXPECT_EQ(app::versionLineFromRecord(longValue), "Version " + std::string(255, '1') + "  (x)");
}

TEST(VersionRecord, MalformedRecordsAreRefusedWithoutOverrun) {
    std::string good = record({{"\\A", "value"}});
    EXPECT_EQ(app::queryVersionValue(good, "\\a"), "value");
    for (std::size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_EQ(app::queryVersionValue(good.substr(0, cut), "\\A"), std::nullopt) << cut;
    std::string lying = good;
    lying[8] = '\x7F';  // claims 127 entries
    EXPECT_EQ(app::queryVersionValue(lying, "\\B"), std::nullopt);
    lying = good;
    lying[12] = '\xFF';  // value length far beyond the end
    EXPECT_EQ(app::queryVersionValue(lying, "\\A"), std::nullopt);
    EXPECT_EQ(app::versionLineFromRecord("garbage that is no record"), "Version   ()");
}

TEST(VersionRecord, BuildStampForm) {
    EXPECT_EQ(app::buildStamp("Oct  8 2013", "17:47:31"), "Oct 08 2013 - 17:47:31");
    EXPECT_EQ(app::buildStamp("Oct 18 2013", "07:00:01"), "Oct 18 2013 - 07:00:01");
}

TEST(AboutBox, ShowsNameVersionAndBuildStamp) {
    testing_support::qtGuiApp();
    AboutBox box(nullptr);
    EXPECT_EQ(box.windowTitle(), "About");
    EXPECT_EQ(box.versionText(), "Version 1.03  (1, 3, 0, 0)");
    EXPECT_TRUE(box.buildStampText().contains(
        QRegularExpression("^[A-Z][a-z]{2} \\d{2} \\d{4} - \\d{2}:\\d{2}:\\d{2}$")))
        << box.buildStampText().toStdString();
    QLabel* name = box.findChild<QLabel*>("productName");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), "KELP Driver for Camlet32");
    QLabel* icon = box.findChild<QLabel*>("2");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
    auto* ok = box.findChild<QPushButton*>("1");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK");
    EXPECT_TRUE(ok->isDefault());
}

TEST(AboutBox, ProgramWithoutRecordLeavesVersionEmpty) {
    testing_support::qtGuiApp();
    AboutBox box(nullptr, "/nonexistent/program");
    EXPECT_EQ(box.versionText(), "");
    EXPECT_FALSE(box.buildStampText().isEmpty());
}

// Runs the box modally and, once it is up, does `action` to it; returns exec()'s result.
int runAndClose(std::function<void(AboutBox&)> action) {
    testing_support::qtGuiApp();
    AboutBox box(nullptr);
    QTimer::singleShot(0, &box, [&] { action(box); });
    QTimer guard;  // never hang the suite if the box ignores the action
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &box, [&] { box.done(99); });
    guard.start(5000);
    return box.exec();
}

void key(QWidget& w, int k) {
    QWidget* target = w.focusWidget() ? w.focusWidget() : &w;
    QKeyEvent press(QEvent::KeyPress, k, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, k, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

TEST(AboutBox, OkEnterEscapeAndCloseBoxCloseIt) {
    EXPECT_EQ(runAndClose([](AboutBox& b) { b.findChild<QPushButton*>("1")->click(); }), 1);
    EXPECT_EQ(runAndClose([](AboutBox& b) { key(b, Qt::Key_Return); }), 1);
    EXPECT_EQ(runAndClose([](AboutBox& b) { key(b, Qt::Key_Escape); }), 2);
    EXPECT_EQ(runAndClose([](AboutBox& b) { b.close(); }), 2);
}

}  // namespace
