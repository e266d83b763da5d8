#!/bin/sh
# check-seam.sh: PAPPL is included only by the glue in app/pappl/; everything else in the
# application is PAPPL-free, so that unit tests reach it and a PAPPL port rewrites one folder.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: check-seam.sh SOURCE-DIR

set -eu
cd "$1"
found=$(grep -rlE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]pappl/' \
          --include='*.h' --include='*.cpp' --include='*.c' \
          app common core grf labelpreview torvane silvane tests bench 2>/dev/null |
        grep -v '^app/pappl/' || true)
if [ -n "$found" ]; then
  echo "PAPPL included outside app/pappl/:" >&2
  echo "$found" >&2
  exit 1
fi
glue=$(grep -rlE '#[[:space:]]*include[[:space:]]*<pappl/' app/pappl | wc -l)
[ "$glue" -gt 0 ] || { echo "no file in app/pappl/ includes PAPPL: is the check looking in the right place?" >&2; exit 1; }
echo "check-seam: PAPPL only in app/pappl/ ($glue files)"
