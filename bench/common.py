"""Pieces the benchmarks share: report-like words, and the process's memory figures."""

# Texts the value-from-text rule turns into booleans or numbers; words must stay texts.
NOT_WORDS = {"true", "false", "nan", "inf", "infinity"}

LETTERS = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"


def make_words(count, rng, shortest=3, longest=15):
    """`count` distinct-object ASCII words of `shortest`..`longest` bytes."""
    lengths = [rng.randint(shortest, longest) for _ in range(count)]
    pool = "".join(rng.choices(LETTERS, k=sum(lengths)))
    words, at = [], 0
    for n in lengths:
        w = pool[at : at + n]
        at += n
        if w.lower() in NOT_WORDS:
            w = "x" + w[1:]
        words.append(w)
    return words


def status_bytes(field):
    """A size line of /proc/self/status ("VmRSS", "VmHWM", ...) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")
