#include "app/win32/about_box_win32.h"

#include "app/version_record.h"
#include "app/win32/resource.h"
#include "platform/native_controls.h"

namespace app::win32 {

void showAboutBox(platform::HWND owner) {
    platform::native::runModalDialog(owner, IDD_ABOUT, [](platform::HWND dialog) {
        // A program file without a version record leaves the version line empty.
        platform::native::setItemText(
            dialog, IDC_VERSION_TEXT,
            versionLineFromRecord(readVersionRecord(platform::programFilePath())));
        platform::native::setItemText(dialog, IDC_BUILD_STAMP, buildStamp(__DATE__, __TIME__));
    });
}

}  // namespace app::win32
