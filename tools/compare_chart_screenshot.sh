#!/bin/sh
# The guide's comparison chart: the bundled model's exact logits against its own float32
# arithmetic over a text, drawn by `tarvel compare --plot`, opened in headless Chromium (Debian's
# chromium) and saved as a PNG. Run by hand from the repository root after building the command:
#   sh tools/compare_chart_screenshot.sh [build/ci/cli/tarvel]
# Writes docs/compare-float32.svg and docs/compare-float32.png.
set -eu
tarvel=${1:-build/ci/cli/tarvel}
text=tests/reference/short_text.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tarvel" score --model models/tiny-kjv --text-file "$text" --precision float32 --save-logits "$work/float32.npy" >/dev/null
"$tarvel" compare --model models/tiny-kjv --text-file "$text" --against "$work/float32.npy" --plot docs/compare-float32.svg
# Chromium renders the SVG at its own size; the window is that size.
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=960,840 \
    --screenshot="$work/chart.png" "file://$(pwd)/docs/compare-float32.svg" 2>/dev/null
# A palette of at most 256 colours keeps the file a third of the size, with no visible change.
/usr/bin/python3 tools/png_palette.py "$work/chart.png" docs/compare-float32.png
echo "docs/compare-float32.png: $(wc -c < docs/compare-float32.png) bytes"
