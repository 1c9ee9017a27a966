// The library that launcher_test loads: while it is being loaded, it notes whether the
// termination signals are blocked and, if they are, sends itself SIGTERM, which has to stay
// pending instead of ending the process.
#include <signal.h>

namespace {

bool blockedWhileLoading() {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    const bool all =
        sigismember(&mask, SIGTERM) && sigismember(&mask, SIGINT) && sigismember(&mask, SIGHUP);
    if (all)
        raise(SIGTERM);
    return all;
}

const bool heldAtLoad = blockedWhileLoading();

}  // namespace

// Returns argc when the signals were held while loading and the SIGTERM sent then is pending.
extern "C" __attribute__((visibility("default"))) int launcher_probe_main(int argc, char**) {
    sigset_t pending;
    sigpending(&pending);
    return heldAtLoad && sigismember(&pending, SIGTERM) ? argc : -2;
}
