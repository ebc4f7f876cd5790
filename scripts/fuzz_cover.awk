# Reads a libFuzzer merge control file (-merge_control_file) and prints the paths of at most
# `limit` files, chosen greedily (the file that reaches the most edges not yet reached first),
# that together reach every edge any file reaches, or as many as the limit allows.
# Used by scripts/fuzz.sh to keep the committed seed corpora small.
NR == 1 { files = $1; next }
NR == 2 { next }
NR <= files + 2 { path[NR - 3] = $0; next }
$1 == "COV" {
    idx = $2
    n = 0
    for (i = 3; i <= NF; ++i) {
        edges[idx, ++n] = $i
    }
    count[idx] = n
}
END {
    for (chosen = 0; chosen < limit; ++chosen) {
        best = -1
        gain = 0
        for (idx in count) {
            g = 0
            for (i = 1; i <= count[idx]; ++i) {
                if (!((edges[idx, i]) in reached)) {
                    ++g
                }
            }
            if (g > gain) {
                gain = g
                best = idx
            }
        }
        if (best < 0) {
            break
        }
        for (i = 1; i <= count[best]; ++i) {
            reached[edges[best, i]] = 1
        }
        print path[best]
        delete count[best]
    }
}
