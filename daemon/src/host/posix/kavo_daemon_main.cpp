// kavo-daemon on the Linux backend: the service in the foreground.
#include "host/foreground_service.h"

int main() {
    return kavo::run_foreground_service();
}
