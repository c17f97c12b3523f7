#!/usr/bin/env bash
# The guide built for the Help button is a PDF whose text holds every heading of its Markdown source.
# Usage: check-user-guide.sh GUIDE.pdf GUIDE.md
set -euo pipefail
pdf=$1 source=$2 missing=0
[ "$(head -c 5 "$pdf" 2>/dev/null)" = "%PDF-" ] || { echo "no PDF guide at $pdf"; exit 1; }
# Line breaks and runs of blanks in the extracted text depend on the layout, not on the words.
text=$(pdftotext -enc UTF-8 "$pdf" - | tr -s '[:space:]' ' ')
mapfile -t headings < <(sed -n 's/^#\{1,6\}[[:space:]]\+//p' "$source" | sed 's/[[:space:]]\+/ /g; s/ $//')
[ ${#headings[@]} -gt 0 ] || { echo "no headings in $source"; exit 1; }
for heading in "${headings[@]}"; do
    [[ "$text" == *"$heading"* ]] || { echo "heading missing from the PDF: $heading"; missing=1; }
done
exit $missing
