#include "app/view_model.h"

#include <algorithm>
#include <cstdio>

#include "app/counters.h"
#include "config/settings.h"

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

std::string windowTitleFor(int deviceNumber) {
    char title[100];  // the string table's 100-byte buffer: at most 99 characters
    std::snprintf(title, sizeof title, kWindowTitleFormat, deviceNumber);
    return title;
}

std::string menuSettingsFileName(int deviceNumber) {
    char name[32];
    std::snprintf(name, sizeof name, "dev_%03d.ini", deviceNumber);
    return name;
}

std::string serialSettingsText(int portNumber, long speed, int dataBits, int stopBitsCode,
                               int parityCode) {
    char text[128];
    std::snprintf(text, sizeof text, "COM%d %ld,%d,%c,%c", portNumber, speed, dataBits,
                  letterOf(kStopBitLetters, sizeof kStopBitLetters - 1, stopBitsCode),
                  letterOf(kParityLetters, sizeof kParityLetters - 1, parityCode));
    return text;
}

ViewModel::ViewModel(int deviceNumber) : deviceNumber_(deviceNumber) {}

void ViewModel::markChanged(bool ViewChanges::*what) {
    const bool wasClean = !changes_.any();
    changes_.*what = true;
    if (wasClean && listener_)
        listener_();
}

ViewChanges ViewModel::takeChanges() {
    const ViewChanges taken = changes_;
    changes_ = {};
    return taken;
}

// ---------------------------------------------------------------------------------------------
// Status panel

void ViewModel::refreshCounters() {
    const std::array<std::int32_t, 4> now = {infoTxCount, infoRxCount, serialTxCount,
                                             serialRxCount};
    if (now == counters_)
        return;
    counters_ = now;
    markChanged(&ViewChanges::panel);
}

void ViewModel::setStatusText(std::string_view text) {
    if (text == statusText_)
        return;
    statusText_.assign(text);
    markChanged(&ViewChanges::panel);
}

void ViewModel::showSerialSettings(int portNumber, long speed, int dataBits, int stopBitsCode,
                                   int parityCode) {
    settingsText_ = serialSettingsText(portNumber, speed, dataBits, stopBitsCode, parityCode);
    markChanged(&ViewChanges::panel);
}

std::string ViewModel::panelText(int id) const {
    auto counter = [](std::int32_t value) {
        char text[32];
        std::snprintf(text, sizeof text, "%08d", static_cast<int>(value));
        return std::string(text);
    };
    switch (id) {
        case kCtlInfoTx:
            return counter(counters_[0]);
        case kCtlInfoRx:
            return counter(counters_[1]);
        case kCtlSerialTx:
            return counter(counters_[2]);
        case kCtlSerialRx:
            return counter(counters_[3]);
        case kCtlStatusText:
            return statusText_;
        case kCtlSettingsText:
            return settingsText_;
        default:
            return {};  // 2002, "Type:", is never written
    }
}

// ---------------------------------------------------------------------------------------------
// Debug lines

void ViewModel::setMeasure(Measure measure) {
    measure_ = std::move(measure);
}

void ViewModel::addLine(std::string_view text) {
    if (lines_.size() > kLineCap) {
        lines_.pop_front();
        ++firstSeq_;
        markChanged(&ViewChanges::scrollLeft);
    }
    lines_.emplace_back(text);
    // The width is taken when a view asks for the extent; until then the entry is pending.
    widthRing_[ringPos_] = 0;
    ringPos_ = (ringPos_ + 1) % kWidthRingSize;
    unmeasured_ = std::min(unmeasured_ + 1, kWidthRingSize);
    markChanged(&ViewChanges::lines);
}

void ViewModel::measurePending() {
    // The k-th newest ring entry belongs to the k-th newest line: every add wrote one of each.
    for (; unmeasured_ > 0; --unmeasured_) {
        const std::string& line = lines_[lines_.size() - unmeasured_];
        const std::size_t slot = (ringPos_ + kWidthRingSize - unmeasured_) % kWidthRingSize;
        widthRing_[slot] = measure_ ? measure_(line) : 0;
    }
}

std::uint32_t ViewModel::horizontalExtent() {
    measurePending();
    return *std::max_element(widthRing_.begin(), widthRing_.end());
}

const std::array<std::uint32_t, ViewModel::kWidthRingSize>& ViewModel::widthRing() {
    measurePending();
    return widthRing_;
}

void ViewModel::resetWidthRing() {
    widthRing_.fill(0);
    ringPos_ = 0;
    unmeasured_ = 0;
    markChanged(&ViewChanges::lines);
}

void ViewModel::clearLines() {
    resetWidthRing();
    firstSeq_ += lines_.size();
    lines_.clear();
    markChanged(&ViewChanges::scrollLeft);
}

// ---------------------------------------------------------------------------------------------
// Menu commands

bool ViewModel::command(std::uintptr_t wParam, CommandView& view) {
    switch (static_cast<int>(wParam & 0xFFFF)) {
        case kCmdAbout:
            view.showAboutBox();
            return true;
        case kCmdExit:
            view.destroyWindow();
            return true;
        case kCmdDebugClear:
            clearLines();
            return true;
        case kCmdTestSet:
            view.testSet();
            return true;
        case kCmdDebugOn:
            commandDebugOn();
            view.applyViewMode();
            return true;
        case kCmdDebugHide:
            commandDebugHide();
            view.applyViewMode();
            return true;
        case kCmdLogEnabled:
            commandLogEnabled();
            view.showMenuChecks();
            return true;
        default:
            return false;
    }
}

// ---------------------------------------------------------------------------------------------
// View modes

void ViewModel::commandDebugOn() {
    auto& ds = config::deviceSettings();
    if (ds.debugMode) {
        ds.debugMode = 0;
    } else {
        ds.debugMode = 1;
        ds.hideMode = 0;
    }
}

void ViewModel::commandDebugHide() {
    auto& ds = config::deviceSettings();
    if (ds.hideMode) {
        ds.hideMode = 0;
        ds.debugMode = 1;
    } else {
        ds.hideMode = 1;
        ds.debugMode = 0;
    }
}

void ViewModel::commandLogEnabled() {
    auto& ds = config::deviceSettings();
    ds.logMode = ds.logMode ? 0 : 1;
    config::writeSetting(menuSettingsFileName(deviceNumber_).c_str(), kSectionName, "LogMode",
                         ds.logMode ? "1" : "0");
}

void ViewModel::applyViewMode() {
    const auto& ds = config::deviceSettings();
    config::writeSetting(menuSettingsFileName(deviceNumber_).c_str(), kSectionName, "DebugMode",
                         ds.debugMode ? "1" : "0");
    if (ds.hideMode) {
        // Exactly the minimum tracking size, without sizing border and maximise box.
        frame_.width = kWindowWidth;
        frame_.height = minimumTrackHeight();
        frame_.style &= ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
    } else {
        frame_.width = kWindowWidth;
        frame_.height = kWindowHeight;
        frame_.style |= WS_THICKFRAME | WS_MAXIMIZEBOX;
    }
}

MenuChecks ViewModel::menuChecks() const {
    const auto& ds = config::deviceSettings();
    return {ds.debugMode != 0, ds.hideMode != 0, ds.logMode != 0};
}

}  // namespace app
