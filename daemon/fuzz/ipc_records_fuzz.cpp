// Frame-length handling and the parsing of the two client records. A request
// that parses must re-serialise to canonical bytes that parse to the same
// request and serialise to the same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "ipc/frame.h"
#include "ipc/record_json.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kavo;
    const std::span<const std::uint8_t> bytes(data, size);

    const FrameScanResult scan = scan_frame(bytes);
    if (size < FRAME_PREFIX_LEN) {
        check(scan.state == FrameScan::need_more);
    } else {
        const std::uint32_t length =
            decode_frame_length(FramePrefix{data[0], data[1], data[2], data[3]});
        check(encode_frame_length(length) == (FramePrefix{data[0], data[1], data[2], data[3]}));
        if (!is_valid_frame_length(length)) {
            check(scan.state == FrameScan::invalid_length);
        } else if (size - FRAME_PREFIX_LEN < length) {
            check(scan.state == FrameScan::need_more);
        } else {
            check(scan.state == FrameScan::complete && scan.body_length == length &&
                  scan.frame_size == FRAME_PREFIX_LEN + length);
        }
    }

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)parse_client_proof(text);
    if (auto request = parse_session_request(text)) {
        const std::string canonical = canonical_request_json(request->request);
        auto again = parse_request(canonical);
        check(static_cast<bool>(again));
        check(*again == request->request);
        check(canonical_request_json(*again) == canonical);
    }
    return 0;
}
