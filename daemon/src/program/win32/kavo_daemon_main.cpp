// kavo-daemon on Windows: a GUI-subsystem program with the wide entry point,
// so it has no console of its own. The arguments are read again in their
// UTF-16 form by the platform layer. The C runtime calls the entry by its C
// name; on x86-64 there is one calling convention, so no OS header is needed
// to declare it.
#include "program/program_entry.h"

extern "C" int wWinMain(void*, void*, wchar_t*, int) {
    return kavo::run_service_program();
}
