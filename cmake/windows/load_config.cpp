// The load configuration of every Windows program we ship: its one setting is
// that the loader resolves the program's static imports from the system
// directory only (Windows 10 1607 and later honour it). It is linked into each
// program as an object of its own, and set-load-config.sh makes the image's
// data directory point at it after the link.
#include <cstddef>
#include <cstdint>

namespace kavo::image {

// The x86-64 layout up to the structure-exception fields, the size Windows
// has read since its first 64-bit release; later fields are absent (zero).
struct LoadConfig {
    std::uint32_t size = 0;
    std::uint32_t time_date_stamp = 0;
    std::uint16_t major_version = 0;
    std::uint16_t minor_version = 0;
    std::uint32_t global_flags_clear = 0;
    std::uint32_t global_flags_set = 0;
    std::uint32_t critical_section_default_timeout = 0;
    std::uint64_t de_commit_free_block_threshold = 0;
    std::uint64_t de_commit_total_free_threshold = 0;
    std::uint64_t lock_prefix_table = 0;
    std::uint64_t maximum_allocation_size = 0;
    std::uint64_t virtual_memory_threshold = 0;
    std::uint64_t process_affinity_mask = 0;
    std::uint32_t process_heap_flags = 0;
    std::uint16_t csd_version = 0;
    std::uint16_t dependent_load_flags = 0;
    std::uint64_t edit_list = 0;
    // Zero: no stack cookie for the loader to set (gcc's stack protector
    // keeps its own guard).
    std::uint64_t security_cookie = 0;
    std::uint64_t se_handler_table = 0;
    std::uint64_t se_handler_count = 0;
};
static_assert(offsetof(LoadConfig, dependent_load_flags) == 0x4E);
static_assert(sizeof(LoadConfig) == 0x70);

// LOAD_LIBRARY_SEARCH_SYSTEM32 of LoadLibraryExW.
constexpr std::uint16_t SEARCH_SYSTEM32 = 0x800;

}  // namespace kavo::image

// The name the loader's tools and later linkers look for.
extern "C" {
extern const kavo::image::LoadConfig _load_config_used;
alignas(8) const kavo::image::LoadConfig _load_config_used = {
    .size = sizeof(kavo::image::LoadConfig),
    .dependent_load_flags = kavo::image::SEARCH_SYSTEM32,
};
}
