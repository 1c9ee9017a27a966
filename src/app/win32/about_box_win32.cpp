#include "app/win32/about_box_win32.h"

#include "app/version_record.h"
#include "app/win32/resource.h"

namespace app::win32 {

namespace {

// "Version <FileVersion>  (<ProductVersion>)" from this program file's version record.
std::string programVersionLine() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path - 1);
    return versionLineFromRecord(readVersionRecord(path));
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM) {
    switch (msg) {
        case WM_INITDIALOG:
            // A program file without a version record leaves the version line empty.
            SetDlgItemTextA(dialog, IDC_VERSION_TEXT, programVersionLine().c_str());
            SetDlgItemTextA(dialog, IDC_BUILD_STAMP, buildStamp(__DATE__, __TIME__).c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void showAboutBox(HINSTANCE instance, HWND owner) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, aboutProc, 0);
}

}  // namespace app::win32
