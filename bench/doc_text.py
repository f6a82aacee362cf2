"""English text for generated benchmark trees: the installed packages' copyright files, the
common licences and the changelogs, one after another."""
import glob
import gzip
import sys


def doc_text(what):
    """All of it as bytes; exits naming `what` when there is under 1 MiB of it."""
    parts = []
    for p in sorted(glob.glob("/usr/share/doc/*/copyright")) + sorted(glob.glob("/usr/share/common-licenses/*")):
        try:
            with open(p, "rb") as f:
                parts.append(f.read())
        except OSError:
            pass
    for p in sorted(glob.glob("/usr/share/doc/*/changelog*.gz")):
        try:
            parts.append(gzip.open(p).read())
        except OSError:
            pass
    text = b"\n".join(parts)
    if len(text) < (1 << 20):
        sys.exit("not enough text under /usr/share/doc for " + what)
    return text
