#!/usr/bin/env bash
# Usage: set-load-config.sh PROGRAM.exe
#
# Points the load-configuration entry of the program's data directory at the
# structure `_load_config_used` that load_config.cpp linked into it, and
# brings the image checksum up to date. The
# linker of our toolchain (GNU ld 2.40) leaves that entry empty whatever the
# program holds, and without it the loader never sees the structure. A later
# linker that fills the entry itself is accepted when it points at the same
# place.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=scripts/lib/pe.sh
. "$root/scripts/lib/pe.sh"

program=${1:?usage: set-load-config.sh PROGRAM.exe}

set_load_config() {
    local va base rva offset size entry current
    va=$("$nm" "$program" | awk '$3 == "_load_config_used" { print $1 }')
    [ -n "$va" ] || { pe_fail "$program: it holds no _load_config_used"; return 1; }
    base=$(pe_image_base "$program") || return 1
    rva=$((16#$va - base))
    [ $((rva % 8)) -eq 0 ] || { pe_fail "$program: _load_config_used is not 8-byte aligned"; return 1; }
    offset=$(pe_rva_to_offset "$program" "$rva") || return 1
    size=$(pe_read "$program" "$offset" 4) || return 1
    [ "$size" -ge $((PE_LOAD_CONFIG_DEPENDENT_LOAD_FLAGS + 2)) ] ||
        { pe_fail "$program: _load_config_used is too short ($size bytes)"; return 1; }
    entry=$(pe_data_directory_offset "$program" "$PE_LOAD_CONFIG_ENTRY") || return 1
    current=$(pe_data_directory "$program" "$PE_LOAD_CONFIG_ENTRY") || return 1
    case "$current" in
        "$rva $size") return 0 ;;
        "0 0") ;;
        *) pe_fail "$program: the load-configuration entry already points elsewhere ($current)"
           return 1 ;;
    esac
    pe_write_u32 "$program" "$entry" "$rva" && pe_write_u32 "$program" $((entry + 4)) "$size" &&
        [ "$(pe_data_directory "$program" "$PE_LOAD_CONFIG_ENTRY")" = "$rva $size" ] || return 1
    # The linker wrote a checksum of the image as it was; keep it true.
    pe_update_checksum "$program"
}

set_load_config || exit 1
