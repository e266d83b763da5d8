#!/usr/bin/env bash
# Draws the ZPL renderer tests' corpus with our renderer (labelpreview) and with the open
# WebAssembly renderer zpl-renderer-js from npm, and prints for each label the share of black
# dots both agree on (black in both, of black in either), text left out: text fields are
# dropped and barcodes' interpretation lines turned off before either side draws.  Not
# installed; a comparison for people, not a test.
#   bench/zpl-compare.sh [BUILD_DIR]      (default build/dev; needs labelpreview and
#                                          zplcorpus_test built there, node and npm)
# Then the time zpl-renderer-js takes for the 4x6 carrier label (ups_4x6_maxicode, text
# included), the mean of 50 drawings in one process after a first one; bench/zpl_render_bench
# gives ours.  KEEP=1 keeps the work files.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/dev}")
work=$(mktemp -d)
[ -n "${KEEP:-}" ] && echo "work files in $work" >&2 || trap 'rm -rf "$work"' EXIT

mkdir -p "$work/corpus" "$work/notext" "$work/ours" "$work/theirs" "$work/npm"
ZPL_CORPUS_DIR="$work/corpus" "$build/tests/zplrender/zplcorpus_test" \
  --gtest_filter='CorpusSize.*' >/dev/null
npm install --silent --no-audit --no-fund --prefix "$work/npm" zpl-renderer-js@3.4.0 >/dev/null
cat >"$work/npm/render.mjs" <<'JS'
import { ready } from "zpl-renderer-js";
import fs from "node:fs";
const [, , input, out, wmm, hmm] = process.argv;
const { api } = await ready;
const labels = await api.zplToBase64MultipleAsync(fs.readFileSync(input, "latin1"), Number(wmm), Number(hmm), 8);
labels.forEach((b64, i) => fs.writeFileSync(`${out}-${String(i + 1).padStart(3, "0")}.png`, Buffer.from(b64, "base64")));
JS

/usr/bin/python3 bench/zpl-compare/notext.py "$work/corpus" "$work/notext"
for f in "$work"/notext/*.zpl; do
  name=$(basename "$f" .zpl)
  size=$(/usr/bin/python3 bench/zpl-compare/notext.py --size "$f")
  "$build/labelpreview/labelpreview" --format pbm -o "$work/ours/$name" "$f" 2>/dev/null ||
    echo "$name: labelpreview failed" >&2
  # shellcheck disable=SC2086
  (cd "$work/npm" && node render.mjs "$f" "$work/theirs/$name" $size) 2>/dev/null ||
    echo "$name: zpl-renderer-js failed" >&2
done
/usr/bin/python3 bench/zpl-compare/agree.py "$work/ours" "$work/theirs"

cat >"$work/npm/time.mjs" <<'JS'
import { ready } from "zpl-renderer-js";
import fs from "node:fs";
const { api } = await ready;
const zpl = fs.readFileSync(process.argv[2], "latin1");
await api.zplToBase64Async(zpl, 101.5, 152.25, 8);
const runs = 50, start = process.hrtime.bigint();
for (let i = 0; i < runs; i++) await api.zplToBase64Async(zpl, 101.5, 152.25, 8);
console.log(`zpl-renderer-js, 4x6 carrier label at 203 dpi: ${(Number(process.hrtime.bigint() - start) / 1e6 / runs).toFixed(2)} ms a label (PNG included)`);
JS
(cd "$work/npm" && node time.mjs "$work/corpus/ups_4x6_maxicode.zpl")
