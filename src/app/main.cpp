// camlet32 DEVICE: the driver process for one device number.
#include "app/app_main.h"
#include "app/driver.h"

int main(int argc, char** argv) {
    return app::runCamlet32(argc, argv, app::makeDriver);
}
