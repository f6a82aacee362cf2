#!/bin/sh
# Rebuilds data/trigram_freqs.dat and measures it: the share of each word list's words of 4+
# letters accepted alone, and of the letter runs of 4 MB of random bytes rejected alone.
#   tools/make_trigram_table.sh [BUILD_DIR]     (default: build; needs its trigram_eval)
# Needs: apt-get install -y wbritish wngerman wfrench wspanish witalian
set -e
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target trigram_eval >/dev/null
python3 tools/make_trigrams.py --fit --base -10 --step 4 --cap 80 -o data/trigram_freqs.dat
"$build/bin/trigram_eval" -t data/trigram_freqs.dat -r 4000000 \
    -w /usr/share/dict/british-english /usr/share/dict/ngerman /usr/share/dict/french \
    /usr/share/dict/spanish /usr/share/dict/italian
