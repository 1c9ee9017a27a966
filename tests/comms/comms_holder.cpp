// Holds a serial port or a named semaphore of the current prefix for another test process:
//   comms-holder port N    opens COMn and prints the open's result
//   comms-holder sem NAME  takes the semaphore and prints "held" (or "timeout")
// then keeps it until stdin closes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "comms/serial_port.h"
#include "platform/named_object.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    comms::SerialPort port;
    std::shared_ptr<platform::NamedSemaphore> sem;
    if (std::strcmp(argv[1], "port") == 0) {
        std::printf("%d\n", port.open(std::atoi(argv[2])));
    } else if (std::strcmp(argv[1], "sem") == 0) {
        sem = platform::NamedSemaphore::open(argv[2]);
        bool held = sem && sem->wait(std::chrono::milliseconds(2000));
        std::printf("%s\n", held ? "held" : "timeout");
    } else {
        return 2;
    }
    std::fflush(stdout);
    char buf[64];
    while (std::fgets(buf, sizeof buf, stdin)) {
    }
    if (sem)
        sem->release();
    return 0;
}
