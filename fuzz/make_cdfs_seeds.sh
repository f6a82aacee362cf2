#!/usr/bin/env bash
# Makes the seed images of the cdfs fuzz target in fuzz/corpus/cdfs/ with xorriso: small trees with
# primary, Joliet and Rock Ridge names, a subtree the target selects (docs/sub), an empty file and
# a deep one. Each image is cut before sector 16, as the target expects its input.
set -euo pipefail
cd "$(dirname "$0")"
out=$PWD/corpus/cdfs
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
src=$tmp/src
mkdir -p "$src/docs/sub" "$src/doc" "$src/a/b/c/d/e/f/g/h/i"
echo "readme" >"$src/README.TXT"
echo "alpha" >"$src/docs/Long name, alpha.txt"
echo "beta" >"$src/docs/sub/b.txt"
echo "gamma" >"$src/doc/c"
echo "deep" >"$src/a/b/c/d/e/f/g/h/i/deep.txt"
printf 'M\xc3\xbcller\n' >"$src/docs/sub/M$(printf '\xc3\xbc')ller.txt"
: >"$src/empty.txt"
mkdir -p "$out"
for seed in "primary:--norock" "joliet:-J --norock" "rockridge:-R" "rockridge_joliet:-R -J"; do
    name=${seed%%:*} opts=${seed#*:}
    xorriso -as mkisofs -quiet -no-pad -input-charset UTF-8 $opts -o "$tmp/$name.iso" "$src" 2>/dev/null
    tail -c +32769 "$tmp/$name.iso" >"$out/$name"
done
ls -l "$out"
