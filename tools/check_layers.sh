#!/usr/bin/env bash
# Fails when a source file includes a header from a folder above or beside
# its own. Each folder lists the folders it may include from, lowest first;
# a file belongs to the longest listed folder that holds it. Run by the build
# and by ctest; plain grep over the #include lines, so it needs nothing built.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

rules='
platform:         platform
common:           platform common
gateway/core:     platform common gateway/core
gateway/mime:     platform common gateway/core gateway/mime
gateway/smtp_out: platform common gateway/core gateway/smtp_out
gateway/smtp_in:  platform common gateway/core gateway/mime gateway/smtp_in
gateway/service:  platform common gateway/core gateway/mime gateway/smtp_in gateway/smtp_out gateway/service
applet:           platform common applet
setup:            platform common setup
'
folders=$(echo "$rules" | sed -n 's/:.*//p')

# shellcheck disable=SC2086
find $folders \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 grep -nHE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+/[^"]+"' |
  awk -v rules="$rules" '
    function layer(path,   f, best) {
      best = ""
      for (f in may) if (index(path, f "/") == 1 && length(f) > length(best)) best = f
      return best
    }
    BEGIN {
      n = split(rules, lines, "\n")
      for (i = 1; i <= n; i++) if (split(lines[i], w, /:?[ \t]+/) > 1) {
        sub(/:$/, "", w[1]); may[w[1]] = " "
        for (j = 2; j in w; j++) may[w[1]] = may[w[1]] w[j] " "
      }
    }
    {
      split($0, p, ":"); match($0, /"[^"]+"/); target = substr($0, RSTART + 1, RLENGTH - 2)
      from = layer(p[1]); to = layer(target)
      if (index(may[from], " " to " ") == 0) {
        printf "%s:%s: includes %s, which %s may not use\n", p[1], p[2], target, from > "/dev/stderr"
        bad = 1
      }
    }
    END { if (bad) exit 1; print "include directions hold" }'
