# shellcheck shell=bash
# Sourced by scripts/check-imports and cmake/windows/set-load-config.sh:
# reading (and two fields of writing) the headers of a Windows x86-64 program
# with the mingw-w64 binutils and coreutils. Offsets are those of the PE32+
# format.
# shellcheck disable=SC2034 # the constants are for the scripts that source this

objdump=${KAVO_OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${KAVO_NM:-x86_64-w64-mingw32-nm}

# The load-configuration directory, the data directory's entry 10.
PE_LOAD_CONFIG_ENTRY=10
# In IMAGE_LOAD_CONFIG_DIRECTORY64: the structure's own size (first field)
# and the flags the loader applies to the module's static imports.
PE_LOAD_CONFIG_DEPENDENT_LOAD_FLAGS=78 # 0x4E
# LoadLibraryEx's flag for "the system directory only".
LOAD_LIBRARY_SEARCH_SYSTEM32=2048 # 0x800

pe_fail() {
    echo "$*" >&2
    return 1
}

# Unsigned little-endian integer of $3 bytes at file offset $2 of file $1.
pe_read() {
    local value
    value=$(od -An -tu"$3" -j "$2" -N "$3" "$1" 2>/dev/null | tr -d ' ')
    [ -n "$value" ] || { pe_fail "$1: cannot read $3 bytes at offset $2"; return 1; }
    echo "$value"
}

# Writes the unsigned 32-bit value $3 little-endian at file offset $2 of $1.
pe_write_u32() {
    local bytes
    bytes=$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($3 & 255)) $((($3 >> 8) & 255)) \
        $((($3 >> 16) & 255)) $((($3 >> 24) & 255)))
    # shellcheck disable=SC2059
    printf "$bytes" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

# File offset of the data directory's entry $2 (8 bytes: RVA, size) of $1,
# after checking that $1 is a PE32+ image that has that entry.
pe_data_directory_offset() {
    local header magic count
    [ "$(head -c 2 "$1" 2>/dev/null)" = MZ ] || { pe_fail "$1: not a Windows program"; return 1; }
    header=$(pe_read "$1" 60 4) || return 1
    [ "$(head -c $((header + 4)) "$1" | tail -c 4 | od -An -c | tr -d ' ')" = 'PE\0\0' ] ||
        { pe_fail "$1: no PE signature"; return 1; }
    # The optional header follows the 4-byte signature and the 20-byte file header.
    magic=$(pe_read "$1" $((header + 24)) 2) || return 1
    [ "$magic" -eq 523 ] || { pe_fail "$1: not a PE32+ (x86-64) image"; return 1; } # 0x20b
    count=$(pe_read "$1" $((header + 24 + 108)) 4) || return 1
    [ "$2" -lt "$count" ] || { pe_fail "$1: the image has no data directory entry $2"; return 1; }
    echo $((header + 24 + 112 + 8 * $2))
}

# "RVA SIZE" of the data directory's entry $2 of $1, in decimal.
pe_data_directory() {
    local at rva size
    at=$(pe_data_directory_offset "$1" "$2") || return 1
    rva=$(pe_read "$1" "$at" 4) || return 1
    size=$(pe_read "$1" $((at + 4)) 4) || return 1
    echo "$rva $size"
}

# The image base of $1, in decimal.
pe_image_base() {
    local base
    base=$("$objdump" -p "$1" | awk '$1 == "ImageBase" { print $2 }')
    [ -n "$base" ] || { pe_fail "$1: no image base"; return 1; }
    echo $((16#$base))
}

# File offset of the relative virtual address $2 in $1: found in the section
# that holds it with file contents.
pe_rva_to_offset() {
    local base
    base=$(pe_image_base "$1") || return 1
    "$objdump" -h "$1" | awk -v va=$(($2 + base)) '
        function hex(s,   i, n, c) {
            n = 0
            for (i = 1; i <= length(s); i++) {
                c = index("0123456789abcdef", tolower(substr(s, i, 1)))
                n = n * 16 + c - 1
            }
            return n
        }
        $1 ~ /^[0-9]+$/ && NF >= 7 {
            size = hex($3); vma = hex($4); off = hex($6)
            if (off > 0 && va >= vma && va < vma + size) { printf "%d\n", off + va - vma; found = 1; exit }
        }
        END { if (!found) exit 1 }' || { pe_fail "$1: no section holds RVA $2"; return 1; }
}

# The imported DLL names of $1, one a line, as the import table spells them.
pe_imported_dlls() {
    "$objdump" -p "$1" | awk '$1 == "DLL" && $2 == "Name:" { print $3 }'
}

# File offset of the image checksum in the optional header of $1.
pe_checksum_offset() {
    local header
    header=$(pe_read "$1" 60 4) || return 1
    echo $((header + 24 + 64))
}

# The image checksum of $1 as the loader's tools compute it: the file's 16-bit
# words summed with the carries folded back, the checksum field itself counted
# as zero, plus the file's length.
pe_compute_checksum() {
    local at length
    at=$(pe_checksum_offset "$1") || return 1
    length=$(stat -c %s "$1") || return 1
    od -An -v -tu2 "$1" | awk -v skip=$((at / 2)) -v file_length="$length" '
        {
            for (i = 1; i <= NF; i++) {
                if (n != skip && n != skip + 1) {
                    sum += $i
                    sum = sum % 65536 + int(sum / 65536)
                }
                n++
            }
        }
        END { printf "%d\n", sum % 65536 + int(sum / 65536) + file_length }'
}

# Writes the checksum of $1 into its header.
pe_update_checksum() {
    local at sum
    at=$(pe_checksum_offset "$1") || return 1
    sum=$(pe_compute_checksum "$1") || return 1
    pe_write_u32 "$1" "$at" "$sum"
}
