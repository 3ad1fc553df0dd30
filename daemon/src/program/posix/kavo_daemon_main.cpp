// kavo-daemon on the Linux backend: the service in the foreground.
#include "program/program_entry.h"

int main() {
    return kavo::run_foreground_program();
}
