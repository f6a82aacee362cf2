#!/bin/sh
# Gathers the evaluation corpus for trigram_eval from what Debian installs:
#   OUT/en/      English prose: the licence texts under /usr/share/common-licenses and the
#                fortunes-min collections
#   OUT/de/      German prose: the fortunes-de collections, without the name lists, chat logs,
#                computer jargon and ASCII art
#   OUT/en-man/  English manual pages (section 7 of the manpages package), rendered
#   OUT/de-man/  German manual pages under /usr/share/man/de, rendered
#   OUT/binary.list  executables from /usr/bin and gzip files from /usr/share/doc
#   OUT/code/    the machine code (.text) of those executables
#   OUT/rodata/  their read-only data (.rodata): string tables, mostly text
# and, for make_trigrams.py, training text that the evaluation never reads:
#   OUT/train-en/  English manual pages of section 1 (every 18th), rendered
#   OUT/train-junk/  the machine code (.text) of 60 other executables (every other one after the
#                    first 40)
#   OUT/train-de/  the German translations (msgstr) of the message catalogues under
#                  /usr/share/locale/de
# Text is written in Latin-1, as the indexer reads it.
# Needs: apt-get install wamerican wbritish wngerman fortunes-min fortunes-de groff-base binutils gettext
# Usage: tools/make_eval_corpus.sh OUT
set -eu
out=${1:?usage: make_eval_corpus.sh OUT}
mkdir -p "$out/en" "$out/de" "$out/en-man" "$out/de-man" "$out/code" "$out/rodata" \
         "$out/train-en" "$out/train-de" "$out/train-junk"

latin1() {
    iconv -f utf-8 -t latin1//TRANSLIT "$1" > "$2" || true
}
for f in /usr/share/common-licenses/* /usr/share/games/fortunes/fortunes \
         /usr/share/games/fortunes/literature /usr/share/games/fortunes/riddles; do
    [ -f "$f" ] && [ ! -L "$f" ] || continue
    latin1 "$f" "$out/en/$(basename "$f").txt"
done
skip=" asciiart namen vornamen channel-debian.fortunes computer debian linuxtag infodrom translations woerterbuch ms "
for f in /usr/share/games/fortunes/de/*; do
    n=$(basename "$f")
    case "$n" in *.dat|*.u8) continue ;; esac
    case "$skip" in *" $n "*) continue ;; esac
    [ -f "$f" ] && latin1 "$f" "$out/de/$n.txt"
done

# -P-cbou: no overstriking for bold or underline; hyphenation stays, as in any printed text.
render() {
    zcat "$1" | groff -k -Tlatin1 -man -P-cbou 2>/dev/null > "$2" || true
}
for f in $(dpkg -L manpages 2>/dev/null | grep '/man7/.*\.gz$' | sort); do
    render "$f" "$out/en-man/$(basename "$f" .gz).txt"
done
find /usr/share/man/de -name '*.gz' -type f | sort | while read -r f; do
    render "$f" "$out/de-man/$(basename "$f" .gz).txt"
done

{
    # ELF executables of 100 KiB or more, the first 40 by name.
    find /usr/bin -maxdepth 1 -type f -size +100k | sort | while read -r f; do
        [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && echo "$f"
    done | head -40
    # Compressed documentation: every gzip file of 4 KiB or more, the first 200 by name.
    find /usr/share/doc -name '*.gz' -type f -size +4k | sort | head -200
} > "$out/binary.list"

grep '^/usr/bin/' "$out/binary.list" | while read -r f; do
    objcopy -O binary --only-section=.text "$f" "$out/code/$(basename "$f").text" 2>/dev/null || true
    objcopy -O binary --only-section=.rodata "$f" "$out/rodata/$(basename "$f").rodata" 2>/dev/null || true
done

find /usr/bin -maxdepth 1 -type f -size +100k | sort | while read -r f; do
    [ "$(head -c 4 "$f" | od -An -c | tr -d ' ')" = '177ELF' ] && echo "$f"
done | tail -n +41 | awk 'NR % 2 == 0' | head -60 | while read -r f; do
    objcopy -O binary --only-section=.text "$f" "$out/train-junk/$(basename "$f").text" 2>/dev/null || true
done

find /usr/share/man/man1 -name '*.gz' -type f | sort | awk 'NR % 18 == 0' | while read -r f; do
    render "$f" "$out/train-en/$(basename "$f" .gz).txt"
done
# msgunfmt writes the catalogue as a .po file; keep the German side only.
for f in /usr/share/locale/de/LC_MESSAGES/*.mo; do
    msgunfmt "$f" 2>/dev/null | awk '/^msgstr/ { s = 1 } /^msgid/ { s = 0 } s && /"/' |
        iconv -f utf-8 -t latin1//TRANSLIT > "$out/train-de/$(basename "$f" .mo).txt" 2>/dev/null || true
done
