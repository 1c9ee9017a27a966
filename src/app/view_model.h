// What the main window shows, kept in memory as it happens and free of any toolkit.
//
// The driver writes into one ViewModel: panel texts and counters, debug lines, view modes. A view
// (the Qt window on Linux, a native window on Windows) reads it when it paints, not at every
// change: it takes the model's changes on a timer (at most every 100 ms) and only while someone
// can see the window, so a headless or minimised driver pays nothing for its window. A view that
// is shown again after a while shows the same state and the same last 501 lines as one that was
// visible all along.
//
// How a view follows the model:
//  - setChangeListener: called once when the model goes from clean to changed (not per change);
//    the view then starts its refresh timer if it is visible.
//  - takeChanges() says what changed since the last call; the view then copies panel texts
//    (panelText) and brings its list in line with lines(): rows whose sequence number is below
//    firstLineSeq() are deleted from the top, lines after the last row it holds are appended,
//    the horizontal extent is set to horizontalExtent(), the list scrolls to its end, and, when
//    scrollLeft is set, back to its left edge.
//  - Mode commands (Debug > On, Debug > Hide, Log > Enabled) go through the model, which changes
//    and persists the settings; the view then applies frame() and menuChecks() at once.
//
// Every line is measured once, with the view's measure function, and only when a view needs the
// horizontal extent; the extent is the widest of the last 500 lines (widthRing), never worked out
// from the rows a list holds. UI thread only.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "app/shell.h"

namespace app {

// Texts of the string table.
inline constexpr char kWindowTitleFormat[] =
    "KELP Camlet32 Application with Debug window - Device %d";
inline constexpr char kClassName[] = "CLASS_CAMLET32";
inline constexpr char kSectionName[] = "Camlet32";

// Menu and accelerator command ids (F1 About, F10 Exit).
inline constexpr int kCmdAbout = 104;
inline constexpr int kCmdExit = 105;
inline constexpr int kCmdDebugClear = 32771;
inline constexpr int kCmdTestSet = 32772;
inline constexpr int kCmdDebugOn = 32773;
inline constexpr int kCmdDebugHide = 32775;
inline constexpr int kCmdLogEnabled = 32776;

// Menu bar positions of the popups (check marks are found by position).
inline constexpr int kPopupFile = 0;
inline constexpr int kPopupDebug = 1;
inline constexpr int kPopupLog = 2;
inline constexpr int kPopupTest = 3;
inline constexpr int kPopupHelp = 4;

// Window style bits kept in the style word (only these matter to the driver).
inline constexpr std::uint32_t WS_MAXIMIZEBOX = 0x10000;
inline constexpr std::uint32_t WS_MINIMIZEBOX = 0x20000;
inline constexpr std::uint32_t WS_THICKFRAME = 0x40000;
inline constexpr std::uint32_t WS_SYSMENU = 0x80000;

inline constexpr int kWindowWidth = 640;
inline constexpr int kWindowHeight = 640;
inline constexpr int kListBoxId = 100;

// Status panel controls that the driver writes.
inline constexpr int kCtlStatusText = 2001;
inline constexpr int kCtlTypeText = 2002;
inline constexpr int kCtlSettingsText = 2005;
inline constexpr int kCtlInfoRx = 2006;
inline constexpr int kCtlInfoTx = 2007;
inline constexpr int kCtlSerialRx = 2008;
inline constexpr int kCtlSerialTx = 2009;
// In the order the panel's value controls are refreshed.
inline constexpr std::array<int, 7> kPanelControls = {
    kCtlInfoTx,     kCtlInfoRx,       kCtlSerialTx, kCtlSerialRx,
    kCtlStatusText, kCtlSettingsText, kCtlTypeText};

// The window title (also the name of the single-instance lock) for a device number.
std::string windowTitleFor(int deviceNumber);
// The device's settings file as the menu writes it: "dev_%03d.ini".
std::string menuSettingsFileName(int deviceNumber);
// The settings text of control 2005, e.g. "COM1 9600,8,1,N". A stop-bit or parity code outside
// its letter table shows as '?'.
std::string serialSettingsText(int portNumber, long speed, int dataBits, int stopBitsCode,
                               int parityCode);

// Size and style of the main window for the current view mode.
struct WindowFrame {
    int width = kWindowWidth;
    int height = kWindowHeight;
    std::uint32_t style = WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    bool resizable() const { return (style & WS_THICKFRAME) != 0; }
};

struct MenuChecks {
    bool debugOn = false;     // Debug > On (32773)
    bool debugHide = false;   // Debug > Hide (32775)
    bool logEnabled = false;  // Log > Enabled (32776)
};

// A view's part of the menu commands: ViewModel::command decides which one runs.
class CommandView {
  public:
    virtual void showAboutBox() = 0;    // Help > About, F1: the modal About box
    virtual void destroyWindow() = 0;   // File > Exit, F10: the destruction runs the shutdown
    virtual void testSet() = 0;         // Test > Set: the driver's hook
    virtual void applyViewMode() = 0;   // Debug > On, Hide: ViewModel::applyViewMode, then the
                                        // frame() and menuChecks() it gives
    virtual void showMenuChecks() = 0;  // Log > Enabled: menuChecks()

  protected:
    ~CommandView() = default;
};

// What changed since the view last took the changes.
struct ViewChanges {
    bool panel = false;       // a panel text or counter
    bool lines = false;       // lines added, dropped or cleared, or the extent changed
    bool scrollLeft = false;  // the full list dropped its oldest line: back to the left edge
    bool any() const { return panel || lines || scrollLeft; }
};

class ViewModel {
  public:
    static constexpr std::size_t kWidthRingSize = 500;
    static constexpr std::size_t kLineCap = 500;  // oldest dropped when more stand before an add

    // Width in pixels of a line in the list's font plus the font's average character width.
    using Measure = std::function<std::uint32_t(std::string_view text)>;

    explicit ViewModel(int deviceNumber = 0);
    ViewModel(const ViewModel&) = delete;
    ViewModel& operator=(const ViewModel&) = delete;

    int deviceNumber() const { return deviceNumber_; }

    // --- Change tracking
    void setChangeListener(std::function<void()> listener) { listener_ = std::move(listener); }
    ViewChanges takeChanges();
    bool changed() const { return changes_.any(); }

    // --- Status panel
    // Copies the four traffic counters (app/counters.h) as they stand now; the panel shows this
    // copy until the next refresh.
    void refreshCounters();
    void setStatusText(std::string_view text);
    void showSerialSettings(int portNumber, long speed, int dataBits, int stopBitsCode,
                            int parityCode);
    // The text of a panel control ("%08d" for the counters); empty for an unknown id.
    std::string panelText(int id) const;

    // --- Debug lines
    void setMeasure(Measure measure);
    // Adds a line at the end; when more than 500 lines stand before it, the oldest goes first.
    void addLine(std::string_view text);
    // Debug > Clear: no lines, width ring zeroed.
    void clearLines();
    // Zeroes the width ring and its position (driver start-up); the lines stay.
    void resetWidthRing();
    const std::deque<std::string>& lines() const { return lines_; }
    // Sequence number of lines()[0]; lines()[i] has firstLineSeq() + i. Never reused.
    std::uint64_t firstLineSeq() const { return firstSeq_; }
    std::uint64_t endLineSeq() const { return firstSeq_ + lines_.size(); }
    // The widest of the last 500 lines, in pixels (measures the lines not yet measured).
    std::uint32_t horizontalExtent();
    const std::array<std::uint32_t, kWidthRingSize>& widthRing();
    std::size_t widthRingPosition() const { return ringPos_; }

    // --- Menu commands
    // Carries out WM_COMMAND's wParam (its low word is the command id, from the menu, an
    // accelerator or another process): the model's part here, the view's through `view`. False
    // for an id that is no command of the window (the message then gets the default processing).
    bool command(std::uintptr_t wParam, CommandView& view);

    // --- View modes (the flags live in config::deviceSettings())
    // Height of the status panel plus 10, measured by the view when it builds the panel.
    void setPanelHeight(int pixels) { panelHeight_ = pixels; }
    int panelHeight() const { return panelHeight_; }
    int minimumTrackHeight() const { return panelHeight_ + 42; }
    // Writes "DebugMode" and works out the frame for the current modes.
    void applyViewMode();
    const WindowFrame& frame() const { return frame_; }
    MenuChecks menuChecks() const;

  private:
    // Debug > On, Debug > Hide: change the modes (the view then applies them).
    void commandDebugOn();
    void commandDebugHide();
    // Log > Enabled: inverts log mode and persists it.
    void commandLogEnabled();
    void markChanged(bool ViewChanges::*what);
    void measurePending();

    int deviceNumber_;
    std::function<void()> listener_;
    ViewChanges changes_;

    std::array<std::int32_t, 4> counters_{};  // infoTx, infoRx, serialTx, serialRx
    std::string statusText_;
    std::string settingsText_;

    Measure measure_;
    std::deque<std::string> lines_;
    std::uint64_t firstSeq_ = 0;
    std::array<std::uint32_t, kWidthRingSize> widthRing_{};
    std::size_t ringPos_ = 0;
    std::size_t unmeasured_ = 0;  // the newest ring entries whose lines are not measured yet

    int panelHeight_ = 0;
    WindowFrame frame_;
};

// The base of both views: the Shell calls that change only what the window shows go to the
// view's model.
class ModelShell : public Shell {
  public:
    explicit ModelShell(int deviceNumber) : model_(deviceNumber) {}

    int deviceNumber() const override { return model_.deviceNumber(); }
    void setStatusText(const char* text) override { model_.setStatusText(text ? text : ""); }
    void refreshCounters() override { model_.refreshCounters(); }
    void resetWidthRing() override { model_.resetWidthRing(); }

  protected:
    ViewModel model_;
};

}  // namespace app
