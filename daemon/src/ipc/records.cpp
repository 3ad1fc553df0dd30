#include "ipc/records.h"

#include "platform/utf.h"

namespace kavo {

IpcResponse error_response(std::string_view message) {
    return IpcResponse{IpcResponse::Error{utf8_lossy(message)}};
}

}  // namespace kavo
