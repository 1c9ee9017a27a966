// camlet32 DEVICE: the driver process for one device number. The driver itself lives in
// libcamlet32_driver.so, loaded once termination signals are held, so that a signal sent while
// Qt is still being loaded ends the driver cleanly instead of killing it.
#include "platform/launcher.h"

int main(int argc, char** argv) {
    return platform::runLibraryEntry("libcamlet32_driver.so", "camlet32_main", argc, argv);
}
