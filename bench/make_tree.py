# Makes a tree of n small text files, each holding one word that no other file holds.
import os, sys
SYL = ["ba","bo","da","do","ka","ko","ma","mo","na","no","pa","po","ra","ro","ta","to","va","vo","ga","go"]
def word(i):
    s = ""
    for _ in range(5):
        s += SYL[i % 20]
        i //= 20
    return s
if __name__ == "__main__":
    root, n = sys.argv[1], int(sys.argv[2])
    for i in range(n):
        d = os.path.join(root, "d%03d" % (i // 1000))
        if i % 1000 == 0: os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%06d.txt" % i), "w") as f:
            f.write("common harbour text and the unique word %s here\n" % word(i))
