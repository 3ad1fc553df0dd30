#include "ctl/kavo_ctl.h"

int main() {
    return kavo::run_kavo_ctl();
}
