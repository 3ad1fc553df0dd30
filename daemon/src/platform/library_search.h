// Platform seam: where the process loads system libraries from.
#pragma once

#include "platform/os_error.h"

namespace kavo {

// The first call of every program's entry. On Windows every later load of a
// library by bare name, ours or one a system library makes for us, then
// searches the system directory only: never the program's own folder (an
// elevated installer runs from wherever it was downloaded), the working
// directory or PATH. The imports the loader resolves before the entry are
// kept to the system directory by how the programs are built. On Linux there
// is nothing to do: libraries come from where the dynamic linker is
// configured to look, never from the program's folder.
OsResult<void> restrict_library_search();

}  // namespace kavo
