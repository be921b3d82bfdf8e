# Mends the wire alignment widl gives to structures and arrays that carry a
# VARIANT. On the wire such a VARIANT is a 4-byte pointer marker, so the
# structure/array is 4-aligned (as every other OPC DA proxy marshals it);
# widl derives 8 from the in-memory VARIANT. The alignment byte follows the
# FC_BOGUS_STRUCT / FC_BOGUS_ARRAY byte of the entries named below.
#
# Second mend: for an [out] (or [in, out]) LPWSTR* parameter widl points the parameter's
# type offset at the inner unique string pointer instead of the ref pointer
# entry "(LPWSTR *)" that wraps it, so the stub marshals the pointer slot
# itself as the string. The parameter is pointed at the wrapping entry, as for
# every other [out] T** parameter (the wire form is unchanged).
#
# Third mend: an [in] array of VARIANTs (or of OPCITEMVQT records, which
# hold one) is passed as a "simple ref" pointer
# straight to its FC_BOGUS_ARRAY entry. Wine's stub (8.0) allocates such an
# array when it unmarshals it and frees the VARIANTs in it, but never the
# array itself: every call leaked it. The parameter is pointed at a new FC_RP
# entry wrapping the array (appended at the end of the type format string), so
# the pointer freer releases the array too. A ref pointer has no wire form of
# its own: the bytes on the wire are unchanged.
#
# Fourth mend: OPCBROWSEELEMENT embeds an OPCITEMPROPERTIES. widl flattens
# the element into a pointer struct whose pointer layout lists the embedded
# record's property-array pointer, and points it at the one OPCITEMPROPERTY
# array entry, whose size is "field dwNumProperties at offset 4". The NDR
# engine reads such a field relative to the start of the element, not of the
# embedded record, so it took the element's szItemID pointer as the count: the
# stub faulted marshalling Browse replies that carry properties. Those two
# pointers are pointed at a copy of the array entry (appended after the
# wrappers) whose size field is at the record's offset in the element plus 4.
# The bytes on the wire are unchanged.
#
# (On win64 widl writes OPCBROWSEELEMENT as a complex struct of its own, with
# the embedded record's pointers where they are: nothing to re-point.)
#
# Last, a check: every [out] pointer parameter starts at a ref pointer (see
# the end); a parameter widl points at its pointee fails the build.
#
# The file is read twice: the first pass collects the type-format labels.
#
# Also writes the format-string offsets of the mended entries to OFFSETS_FILE
# so the wire tests can marshal them directly.
BEGIN { pending = ""; patched = 0; n_variant_arrays = 0; strings = 0; out_param = 0
        nref = 0; in_arrays = 0; held = 0; in_type = 0
        # offset of the embedded OPCITEMPROPERTIES inside OPCBROWSEELEMENT
        EMBEDDED_PROPERTIES = 16; in_element = 0; cur = -1; prop_array = -1; repointed = 0
        want_first = -1; n_out_types = 0; n_param_types = 0 }
NR == FNR {
    if (match($0, /^#define TYPE_FORMAT_STRING_SIZE [0-9]+/)) { split($0, d, " "); tfs = d[3] + 0 }
    if ($0 ~ /NdrFcShort\(0x10b\),.*flags: must size, must free, in, simple ref/) { cand_wait = 2 }
    else if (cand_wait > 0) {
        cand_wait--
        if (cand_wait == 0 && match($0, /type offset = [0-9]+/)) cand[substr($0, RSTART + 14, RLENGTH - 14) + 0] = 1
    }
    if (match($0, /^\/\* [0-9]+ \(.*\) \*\/$/)) {
        split($0, parts, " ")
        name = $0
        sub(/^\/\* [0-9]+ \(/, "", name)
        sub(/\) \*\/$/, "", name)
        label[parts[2] + 0] = name
        cur = parts[2] + 0
        nlines[cur] = 0
        if (name == "OPCBROWSEELEMENT") in_element = 1
        if (name == "OPCBROWSEELEMENT **") in_element = 0
    } else if (match($0, /^\/\* [0-9]+ \*\/$/)) {
        cur = -1
        split($0, parts, " ")
        unlabelled = parts[2] + 0
    } else if (cur >= 0) {
        entry[cur, nlines[cur]++] = $0
    }
    # The first format byte at each offset of the type format string, for
    # the checks of the parameters at the end.
    if ($0 ~ /__MIDL_TypeFormatString =/) in_tfs1 = 1
    if (in_tfs1 && $0 ~ /^};/) in_tfs1 = 0
    if (!in_tfs1) {
    } else if (match($0, /^\/\* +[0-9]+ /)) {
        split($0, parts, " ")
        want_first = parts[2] + 0
    } else if (want_first >= 0 && match($0, /^ +0x[0-9a-f]+/)) {
        first_byte[want_first] = substr($0, RSTART, RLENGTH)
        gsub(/ /, "", first_byte[want_first])
        want_first = -1
    }
    if (in_element && match($0, /Offset= -?[0-9]+ \([0-9]+\)/)) {
        t = $0
        sub(/.*Offset= -?[0-9]+ \(/, "", t)
        sub(/\).*/, "", t)
        if (label[t + 0] == "OPCITEMPROPERTY *") prop_array = t + 0
    }
    next
}
FNR == 1 {
    # Second pass starts: one wrapper per [in] VARIANT array, in offset order.
    n = 0
    for (t in cand) if (label[t] == "VARIANT *" || label[t] == "OPCITEMVQT *") targets[++n] = t + 0
    for (i = 2; i <= n; i++) { v = targets[i]; for (j = i - 1; j >= 1 && targets[j] > v; j--) targets[j + 1] = targets[j]; targets[j + 1] = v }
    for (i = 1; i <= n; i++) { wrap[targets[i]] = tfs - 1 + 4 * nref; wrap_target[nref] = targets[i]; nref++ }
    copy_at = tfs - 1 + 4 * nref
    in_element = 0
}
{
    line = $0
    if (match(line, /\/\* type offset = [0-9]+ \*\//)) {
        typed = substr(line, RSTART + 17, RLENGTH - 20) + 0
        if (typed < tfs - 1)
            param_types[++n_param_types] = typed
    }
    if (match(line, /^#define TYPE_FORMAT_STRING_SIZE [0-9]+/)) {
        printf "#define TYPE_FORMAT_STRING_SIZE %d\n", tfs + 4 * nref + (prop_array >= 0 ? 18 : 0)
        next
    }
    if (line ~ /__MIDL_TypeFormatString =/) in_type = 1
    if (in_type && line ~ /^        0x0$/) {
        for (k = 0; k < nref; k++) {
            off = tfs - 1 + 4 * k
            rel = wrap_target[k] - (off + 2)
            printf "/* %d */\n        0x11, 0x0,\t/* FC_RP */\n        NdrFcShort(0x%x),\t/* Offset= %d (%d) */\n", off, (rel < 0 ? rel + 65536 : rel), rel, wrap_target[k]
        }
        if (prop_array >= 0) emit_property_array_copy()
        in_type = 0
        print line
        next
    }
    if (line ~ /NdrFcShort\(0x10b\),.*flags: must size, must free, in, simple ref/) { held = 1; held1 = line; next }
    if (held == 1) { held = 2; held2 = line; next }
    if (held == 2) {
        held = 0
        if (match(line, /type offset = [0-9]+/) && ((substr(line, RSTART + 14, RLENGTH - 14) + 0) in wrap)) {
            w = wrap[substr(line, RSTART + 14, RLENGTH - 14) + 0]
            print "        NdrFcShort(0xb),\t/* flags: must size, must free, in */"
            print held2
            printf "        NdrFcShort(0x%x),\t/* type offset = %d */\n", w, w
            in_arrays++
        } else {
            print held1
            print held2
            print line
        }
        next
    }
    if (line ~ /NdrFcShort\(0x2013\),.*flags: must size, must free, out, srv size=8/ ||
        line ~ /NdrFcShort\(0x201b\),.*flags: must size, must free, in, out, srv size=8/) {
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
                out_types[++n_out_types] = t - 4
                next
            }
            out_types[++n_out_types] = t
        }
        print line
        next
    }
    if (line ~ /^\/\* [0-9]+ \(OPCBROWSEELEMENT\) \*\/$/) in_element = 1
    if (line ~ /^\/\* [0-9]+ \(OPCBROWSEELEMENT \*\*\) \*\/$/) in_element = 0
    if (in_element && prop_array >= 0 && match(line, /NdrFcShort\(0x[0-9a-f]+\),\t\/\* Offset= -?[0-9]+ \([0-9]+\) \*\//)) {
        t = line
        sub(/.*Offset= /, "", t)
        split(t, f, " ")
        rel = f[1] + 0
        target = substr(f[2], 2) + 0
        if (target == prop_array) {
            at = target - rel  # the offset field's own position
            rel = copy_at - at
            printf "        NdrFcShort(0x%x),\t/* Offset= %d (%d) */\n", (rel < 0 ? rel + 65536 : rel), rel, copy_at
            repointed++
            next
        }
    }
    if (match(line, /^\/\* [0-9]+ \((OPCBROWSEELEMENT|OPCITEMPROPERTIES) \*\) \*\/$/)) {
        # Not mended (no VARIANT inside), but the wire tests marshal them too.
        split(line, parts, " ")
        key = line
        sub(/^\/\* [0-9]+ \(/, "", key)
        sub(/ \*\) \*\/$/, "_ARRAY", key)
        printf "#define VANTREL_FMT_%s %d\n", key, parts[2] > OFFSETS_FILE
        print line
        next
    }
    if (match(line, /^\/\* [0-9]+ \((OPCITEMSTATE|OPCITEMATTRIBUTES|OPCITEMVQT|OPCITEMPROPERTY)( \*)?\) \*\/$/) ||
        match(line, /^\/\* [0-9]+ \(VARIANT \*\) \*\/$/)) {
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
            else if (++seen_key[key] > 1) key = key "_" seen_key[key]
            printf "#define VANTREL_FMT_%s %d\n", key, pending_offset > OFFSETS_FILE
        }
        pending = ""
        print line
        next
    }
    print line
}
# The copy of the OPCITEMPROPERTY array entry for the pointer inside
# OPCBROWSEELEMENT: the same entry, the size field moved by the embedded
# record's offset, the element reference re-based to the copy's position.
function emit_property_array_copy(    k, l, pos, v, rel2, target2) {
    printf "/* %d (OPCITEMPROPERTY * inside OPCBROWSEELEMENT) */\n", copy_at
    pos = copy_at
    for (k = 0; k < nlines[prop_array]; k++) {
        l = entry[prop_array, k]
        if (match(l, /\/\* offset = [0-9]+ \*\//)) {
            v = substr(l, RSTART + 12, RLENGTH - 15) + EMBEDDED_PROPERTIES
            l = sprintf("        NdrFcShort(0x%x),\t/* offset = %d */", v, v)
        } else if (match(l, /Offset= -?[0-9]+ \([0-9]+\)/)) {
            target2 = l
            sub(/.*\(/, "", target2)
            sub(/\).*/, "", target2)
            rel2 = (target2 + 0) - pos
            l = sprintf("        NdrFcShort(0x%x),\t/* Offset= %d (%d) */", (rel2 < 0 ? rel2 + 65536 : rel2), rel2, target2 + 0)
        } else if (l ~ /0x7,\t\/\* 7 \*\//) {
            sub(/0x7,\t\/\* 7 \*\//, "0x3,\t/* 3 */", l)
        }
        print l
        pos += format_bytes(l)
    }
    if (pos != copy_at + 18) {
        printf "patch_proxy: the OPCITEMPROPERTY array entry is %d bytes, expected 18\n", pos - copy_at > "/dev/stderr"
        exit 1
    }
}
# Bytes one format-string line holds: NdrFcShort 2, NdrFcLong 4, else one per
# hex byte.
function format_bytes(l,    code, n) {
    code = l
    sub(/\/\*.*/, "", code)
    if (code ~ /NdrFcLong/) return 4
    if (code ~ /NdrFcShort/) return 2
    n = gsub(/0x[0-9a-fA-F]+/, "", code)
    return n
}
END {
    # Every [out] (and [in, out]) pointer parameter must start at a ref
    # pointer (FC_RP, 0x11): widl has pointed such parameters at the
    # pointee instead (an [out] string, a [string] array of strings), which
    # makes the stub marshal the parameter's slot as the data.
    # And every parameter's type is the start of an entry, not the middle of
    # one (widl has pointed a [string] array parameter there).
    for (k = 1; k <= n_param_types; k++) {
        if (!(param_types[k] in first_byte)) {
            printf "patch_proxy: a parameter's type offset %d is not the start of a type entry\n", param_types[k] > "/dev/stderr"
            exit 1
        }
    }
    for (k = 1; k <= n_out_types; k++) {
        if (first_byte[out_types[k]] != "0x11") {
            printf "patch_proxy: an [out] parameter's type at offset %d is %s, not a ref pointer (FC_RP)\n", out_types[k], first_byte[out_types[k]] > "/dev/stderr"
            exit 1
        }
    }
    if (repointed != EXPECTED_REPOINTED) {
        printf "patch_proxy: re-pointed %d property arrays inside OPCBROWSEELEMENT, expected %d\n", repointed, EXPECTED_REPOINTED > "/dev/stderr"
        exit 1
    }
    if (strings != EXPECTED_STRINGS) {
        printf "patch_proxy: mended %d string out-parameters, expected %d\n", strings, EXPECTED_STRINGS > "/dev/stderr"
        exit 1
    }
    if (in_arrays != EXPECTED_IN_ARRAYS) {
        printf "patch_proxy: mended %d [in] VARIANT-carrying arrays, expected %d\n", in_arrays, EXPECTED_IN_ARRAYS > "/dev/stderr"
        exit 1
    }
    if (patched != EXPECTED) {
        printf "patch_proxy: mended %d entries, expected %d\n", patched, EXPECTED > "/dev/stderr"
        exit 1
    }
}
