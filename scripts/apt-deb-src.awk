# Prints an apt sources file with source entries added for Debian's own archives
# (hosts under debian.org), so that `apt-get source` can reach them. Other archives are
# left alone: most serve no sources and `apt-get update` would fail on them.
# Running it on its own output changes nothing.
#   awk -v format=deb822 -f apt-deb-src.awk /etc/apt/sources.list.d/debian.sources
#   awk -v format=list   -f apt-deb-src.awk /etc/apt/sources.list
function debian_uri(s) { return s ~ /[a-z]+:\/\/([^\/]*\.)?debian\.org(\/|$)/ }

# --- one-line format: "deb [options] uri suite components"; a "deb-src" line with the same
# rest is added after each such line unless one is already there.
format == "list" {
    lines[++n] = $0
    if ($0 ~ /^[ \t]*deb-src[ \t]/) {
        rest = $0; sub(/^[ \t]*deb-src[ \t]+/, "", rest); gsub(/[ \t]+/, " ", rest); sub(/ $/, "", rest)
        have_src[rest] = 1
    }
    next
}

# --- deb822 format: stanzas separated by blank lines; a stanza whose Types lack deb-src
# and whose URIs are Debian's gets deb-src appended to its Types line.
format == "deb822" {
    if ($0 ~ /^[ \t]*$/) { flush_stanza(); print; next }
    stanza[++m] = $0
    next
}

function flush_stanza(   i, types_at, uris, line, key) {
    types_at = 0; uris = ""
    for (i = 1; i <= m; i++) {
        line = stanza[i]
        if (line ~ /^[ \t]*#/) continue
        key = tolower(line); sub(/:.*/, "", key)
        if (key == "types") types_at = i
        if (key == "uris") uris = line
    }
    if (types_at && debian_uri(uris) && stanza[types_at] ~ /[: \t]deb([ \t]|$)/ \
        && stanza[types_at] !~ /[: \t]deb-src([ \t]|$)/) {
        sub(/[ \t]+$/, "", stanza[types_at])
        stanza[types_at] = stanza[types_at] " deb-src"
    }
    for (i = 1; i <= m; i++) print stanza[i]
    m = 0
}

END {
    if (format == "deb822") { flush_stanza(); exit }
    if (format != "list") { print "apt-deb-src.awk: format must be deb822 or list" > "/dev/stderr"; exit 2 }
    for (i = 1; i <= n; i++) {
        print lines[i]
        if (lines[i] !~ /^[ \t]*deb[ \t]/) continue
        rest = lines[i]; sub(/^[ \t]*deb[ \t]+/, "", rest); gsub(/[ \t]+/, " ", rest); sub(/ $/, "", rest)
        # The address is the first word after the options in brackets.
        uri = rest; sub(/^\[[^]]*\] */, "", uri); sub(/ .*/, "", uri)
        if (debian_uri(uri) && !(rest in have_src)) { print "deb-src " rest; have_src[rest] = 1 }
    }
}
