// The driver's entry in libcamlet32_driver.so, called by the camlet32 program.
#include "app/app_main.h"
#include "app/driver.h"

extern "C" __attribute__((visibility("default"))) int camlet32_main(int argc, char** argv) {
    return app::runCamlet32(argc, argv, app::makeDriver);
}
