"""Column letters, A1 references and the reading of A1 references."""

import re
import sys

import pytest

import tabrix
from tabrix import _testing

LETTERS = [
    (0, ""), (1, "A"), (26, "Z"), (27, "AA"), (28, "AB"), (52, "AZ"), (53, "BA"), (702, "ZZ"),
    (703, "AAA"), (16384, "XFD"), (18278, "ZZZ"), (18279, "AAAA"), (65535, "CRXO"),
]


def reference_letters(n):
    out = ""
    while n > 0:
        n, r = divmod(n - 1, 26)
        out = chr(65 + r) + out
    return out


@pytest.mark.parametrize(("col", "letters"), LETTERS)
def test_column_letters(col, letters):
    assert tabrix.column_number_to_letter(col) == letters
    assert tabrix.column_number_to_letter(col=col) == letters


def test_every_column_matches_bijective_base_26():
    assert [tabrix.column_number_to_letter(c) for c in range(65536)] == [
        reference_letters(c) for c in range(65536)
    ]


@pytest.mark.parametrize(
    ("row", "col", "ref"),
    [(5, 3, "C5"), (10, 27, "AA10"), (7, 0, "7"), (0, 1, "A0"), (4294967295, 65535, "CRXO4294967295")],
)
def test_letter_coordinate(row, col, ref):
    assert tabrix.get_letter_coordinate(row, col) == ref
    assert tabrix.get_letter_coordinate(col=col, row=row) == ref


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda: tabrix.column_number_to_letter(65536), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tabrix.column_number_to_letter(-1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tabrix.get_letter_coordinate(2**32, 1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tabrix.get_letter_coordinate(-1, 1), OverflowError, "out of range integral type conversion attempted"),
        (lambda: tabrix.column_number_to_letter("A"), TypeError, "argument 'col': 'str' object cannot be interpreted as an integer"),
        (lambda: tabrix.column_number_to_letter(1.0), TypeError, "argument 'col': 'float' object cannot be interpreted as an integer"),
        (lambda: tabrix.get_letter_coordinate("1", 1), TypeError, "argument 'row': 'str' object cannot be interpreted as an integer"),
        (lambda: tabrix.get_letter_coordinate(1, None), TypeError, "argument 'col': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_coordinate_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is exc


def test_beyond_64_bits_gives_the_interpreters_overflow_message():
    with pytest.raises(OverflowError) as info:
        tabrix.column_number_to_letter(2**64)
    assert str(info.value) != "out of range integral type conversion attempted"


def test_integer_conversion_accepts_bool_and_index():
    class Idx:
        def __index__(self):
            return 28

    assert tabrix.column_number_to_letter(True) == "A"
    assert tabrix.column_number_to_letter(Idx()) == "AB"
    assert tabrix.get_letter_coordinate(Idx(), Idx()) == "AB28"


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("c5", (5, 3)), ("C5", (5, 3)), ("$C$5", (5, 3)), ("C$5", (5, 3)), ("$C5", (5, 3)),
        ("C5 extra", (5, 3)), ("ZZZ1", (1, 18278)), ("A4294967295", (4294967295, 1)),
        ("A007", (7, 1)), ("A0", (0, 1)), ("ßA1", (1, 13339)), ("ﬃ2", (2, 4221)), ("falſe1", None), ("ſ1", (1, 19)),
        ("A4294967296", None), ("ABCD1", None), ("1", None), (" A1", None), ("A", None),
        ("A 1", None), ("A99999999999", None), ("", None), ("$1", None), ("A$", None),
        ("ǰ1", None), ("Ａ1", None), ("A١", None),
    ],
)
def test_read_a1(text, expected):
    assert _testing.read_a1(text) == expected


A1 = re.compile(r"((\$)?([A-Z]{1,3}))?((\$)?([0-9]+))?")


def reference_read_a1(text):
    m = A1.search(text.upper())
    if m.group(3) is None or m.group(6) is None:
        return None
    col = 0
    for ch in m.group(3):
        col = col * 26 + ord(ch) - 64
    row = int(m.group(6))
    return None if row > 0xFFFFFFFF else (row, col)


def test_read_a1_agrees_with_str_upper_for_every_code_point():
    read = _testing.read_a1
    mismatches = []
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        for text in (c + "1", "A" + c + "2", "$" + c + c + "3"):
            if read(text) != reference_read_a1(text):
                mismatches.append(text)
    assert mismatches == []
