// Frame-length handling and the parsing of every record, on both ends. A
// request or response that parses must re-serialise to canonical bytes that
// parse to the same record and serialise to the same bytes again; a body with
// a NUL byte never parses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "ipc/client_records.h"
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
    const bool has_nul = text.find('\0') != std::string_view::npos;
    check(!(has_nul && parse_client_proof(text)));
    check(!(has_nul && parse_challenge(text)));
    check(!(has_nul && parse_server_session(text)));
    if (auto response = parse_session_response(text)) {
        check(!has_nul);
        const std::string written = serialize(response->response);
        auto again = parse_response(written);
        check(static_cast<bool>(again));
        check(*again == response->response);
        check(serialize(*again) == written);
    }
    if (auto request = parse_session_request(text)) {
        check(!has_nul);
        const std::string canonical = canonical_request_json(request->request);
        auto again = parse_request(canonical);
        check(static_cast<bool>(again));
        check(*again == request->request);
        check(canonical_request_json(*again) == canonical);
    }
    return 0;
}
