# Mends the wire alignment widl gives to structures and arrays that carry a
# VARIANT. On the wire such a VARIANT is a 4-byte pointer marker, so the
# structure/array is 4-aligned (as every other OPC DA proxy marshals it);
# widl derives 8 from the in-memory VARIANT. The alignment byte follows the
# FC_BOGUS_STRUCT / FC_BOGUS_ARRAY byte of the entries named below.
#
# Second mend: for an [out] LPWSTR* parameter widl points the parameter's
# type offset at the inner unique string pointer instead of the ref pointer
# entry "(LPWSTR *)" that wraps it, so the stub marshals the pointer slot
# itself as the string. The parameter is pointed at the wrapping entry, as for
# every other [out] T** parameter (the wire form is unchanged).
#
# The file is read twice: the first pass collects the type-format labels.
#
# Also writes the format-string offsets of the mended entries to OFFSETS_FILE
# so the wire tests can marshal them directly.
BEGIN { pending = ""; patched = 0; n_variant_arrays = 0; strings = 0; out_param = 0 }
NR == FNR {
    if (match($0, /^\/\* [0-9]+ \(.*\) \*\/$/)) {
        split($0, parts, " ")
        name = $0
        sub(/^\/\* [0-9]+ \(/, "", name)
        sub(/\) \*\/$/, "", name)
        label[parts[2] + 0] = name
    }
    next
}
{
    line = $0
    if (line ~ /NdrFcShort\(0x2013\),.*flags: must size, must free, out, srv size=8/) {
        out_param = 2
        print line
        next
    }
    if (out_param > 0) {
        out_param--
        if (out_param == 0 && match(line, /type offset = [0-9]+/)) {
            t = substr(line, RSTART + 14, RLENGTH - 14) + 0
            if (label[t] == "LPWSTR" && label[t - 4] == "LPWSTR *") {
                printf "        NdrFcShort(0x%x),\t/* type offset = %d */\n", t - 4, t - 4
                strings++
                next
            }
        }
        print line
        next
    }
    if (match(line, /^\/\* [0-9]+ \((OPCITEMSTATE|OPCITEMATTRIBUTES|OPCITEMSTATE \*|OPCITEMATTRIBUTES \*|VARIANT \*)\) \*\/$/)) {
        split(line, parts, " ")
        offset = parts[2]
        name = line
        sub(/^\/\* [0-9]+ \(/, "", name)
        sub(/\) \*\/$/, "", name)
        pending = name
        pending_offset = offset
        stage = 1
        print line
        next
    }
    if (pending != "" && stage == 1) {
        if (line ~ /FC_BOGUS_STRUCT|FC_BOGUS_ARRAY/) { stage = 2 } else { pending = "" }
        print line
        next
    }
    if (pending != "" && stage == 2) {
        if (line ~ /0x7,\t\/\* 7 \*\//) {
            sub(/0x7,\t\/\* 7 \*\//, "0x3,\t/* 3 */", line)
            patched++
            key = pending
            gsub(/ \*/, "_ARRAY", key)
            if (key == "VARIANT_ARRAY") { n_variant_arrays++; key = key "_" n_variant_arrays }
            printf "#define VANTREL_FMT_%s %d\n", key, pending_offset > OFFSETS_FILE
        }
        pending = ""
        print line
        next
    }
    print line
}
END {
    if (strings != EXPECTED_STRINGS) {
        printf "patch_proxy: mended %d string out-parameters, expected %d\n", strings, EXPECTED_STRINGS > "/dev/stderr"
        exit 1
    }
    if (patched != EXPECTED) {
        printf "patch_proxy: mended %d entries, expected %d\n", patched, EXPECTED > "/dev/stderr"
        exit 1
    }
}
