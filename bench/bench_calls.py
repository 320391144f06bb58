"""Cost of calling tabrix's module functions beside a Python call of a trivial function.

Run: .venv/bin/python bench/bench_calls.py
Prints nanoseconds per call (best of several repeats) and the ratio to the Python floor of the
same shape (positional or keyword). `bind_only` is a private hook with the parameters of
get_letter_coordinate that converts both and makes nothing: it shows the binding's own cost
apart from the work of making a new str.
"""

import timeit

import tabrix
from tabrix import _testing


def trivial(col):
    return col


def trivial2(row, col):
    return col


FLOOR1, FLOOR1_KW = "python trivial(28)", "python trivial(col=28)"
FLOOR2, FLOOR2_KW = "python trivial2(10, 27)", "python trivial2(row=10, col=27)"
CASES = [
    (FLOOR1, "trivial(28)", None),
    (FLOOR1_KW, "trivial(col=28)", None),
    (FLOOR2, "trivial2(10, 27)", None),
    (FLOOR2_KW, "trivial2(row=10, col=27)", None),
    ("version()", "version()", FLOOR1),
    ("column_number_to_letter(28)", "column_number_to_letter(28)", FLOOR1),
    ("column_number_to_letter(col=28)", "column_number_to_letter(col=28)", FLOOR1_KW),
    ("bind_only(10, 27)", "bind_only(10, 27)", FLOOR2),
    ("bind_only(row=10, col=27)", "bind_only(row=10, col=27)", FLOOR2_KW),
    ("get_letter_coordinate(10, 27)", "get_letter_coordinate(10, 27)", FLOOR2),
    ("get_letter_coordinate(row=10, col=27)", "get_letter_coordinate(row=10, col=27)", FLOOR2_KW),
    ("builtin hex(28), for scale", "hex(28)", FLOOR1),
]


def main(number=1_000_000, repeat=7):
    env = {
        "trivial": trivial,
        "trivial2": trivial2,
        "column_number_to_letter": tabrix.column_number_to_letter,
        "get_letter_coordinate": tabrix.get_letter_coordinate,
        "version": tabrix.version,
        "bind_only": _testing.bind_only,
    }
    results = {}
    print(f"{'call':40} {'ns/call':>9} {'vs Python floor':>16}")
    for label, stmt, floor in CASES:
        best = min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number * 1e9
        results[label] = best
        ratio = f"{best / results[floor]:.2f}x" if floor else "floor"
        print(f"{label:40} {best:9.1f} {ratio:>16}")


if __name__ == "__main__":
    main()
