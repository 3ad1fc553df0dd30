// The wide entry point: the arguments are read again in their UTF-16 form by
// the platform layer, so paths reach the program as the caller typed them.
#include "ctl/kavo_ctl.h"

int wmain(int, wchar_t**) {
    return kavo::run_kavo_ctl();
}
