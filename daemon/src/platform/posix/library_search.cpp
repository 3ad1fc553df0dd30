#include "platform/library_search.h"

namespace kavo {

OsResult<void> restrict_library_search() {
    return ok();
}

}  // namespace kavo
