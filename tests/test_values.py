"""Cell values: the value-from-text rule and the text forms of numbers, integers and date-times.

The engine is compared with independent Python references: int() and float() behind a regular
expression for the number grammar, str.upper for the words TRUE and FALSE, a regular-expression
date-time reader, Decimal for the positional and JSON layouts of doubles.
"""

import calendar
import json
import math
import re
import struct
import sys
from decimal import Decimal, localcontext

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import tabrix  # noqa: F401  (registers tabrix._testing)
from tabrix import _testing

from model import json_number

read = _testing.value_from_text

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# --- references -----------------------------------------------------------------------------

INT_RE = re.compile(r"[+-]?[0-9]+", re.ASCII)
FLOAT_RE = re.compile(
    r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|(?i:inf|infinity|nan))", re.ASCII
)
WS = r"[ \t\n\v\f\r]*+"
# Possessive quantifiers: a field takes all the digits it may, as a scanning parser does, and
# never gives one back to let the rest match.
DATETIME_RE = re.compile(
    rf"{WS}([+-][0-9]++|[0-9]{{1,4}}+)-{WS}([0-9]{{1,2}}+)-{WS}([0-9]{{1,2}}+)"
    rf"{WS}([0-9]{{1,2}}+):{WS}([0-9]{{1,2}}+):{WS}([0-9]{{1,2}}+)",
    re.ASCII,
)


def reference_datetime(text):
    m = DATETIME_RE.fullmatch(text)
    if not m:
        return None
    year, month, day, hour, minute, second = map(int, m.groups())
    if not INT32_MIN <= year <= INT32_MAX or not 1 <= month <= 12:
        return None
    month_days = [31, 29 if calendar.isleap(year) else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31]
    if not 1 <= day <= month_days[month - 1] or hour > 23 or minute > 59 or second > 60:
        return None
    if second == 60:
        return (year, month, day, hour, minute, 59, 1_000_000_000)
    return (year, month, day, hour, minute, second, 0)


def reference_value(text):
    if text == "":
        return ("Empty", None)
    if text.upper() in ("TRUE", "FALSE"):
        return ("Bool", text.upper() == "TRUE")
    if INT_RE.fullmatch(text) and INT32_MIN <= int(text) <= INT32_MAX:
        return ("Integer", int(text))
    if FLOAT_RE.fullmatch(text):
        return ("Number", float(text))
    dt = reference_datetime(text)
    if dt is not None:
        return ("DateTime", dt)
    return ("Text", text)


def same(a, b):
    """Equal kinds and payloads; doubles compared bit for bit (any NaN equals any NaN)."""
    if a[0] != b[0]:
        return False
    if a[0] == "Number":
        x, y = a[1], b[1]
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y)
        return struct.pack("<d", x) == struct.pack("<d", y)
    return a[1] == b[1] and type(a[1]) is type(b[1])


def reference_display(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    return sign + format(Decimal(repr(abs(x))).normalize(), "f")


def reference_datetime_text(y, mo, d, h, mi, s, nanos, sep):
    year = f"{y:04d}" if 0 <= y <= 9999 else f"{y:+05d}"
    if nanos >= 1_000_000_000:
        s, nanos = 60, nanos - 1_000_000_000
    frac = ""
    if nanos:
        frac = f".{nanos:09d}"
        frac = frac[:4] if nanos % 1_000_000 == 0 else frac[:7] if nanos % 1000 == 0 else frac
    return f"{year}-{mo:02d}-{d:02d}{sep}{h:02d}:{mi:02d}:{s:02d}{frac}"


def display(kind, payload):
    """The display text of a value read by the engine."""
    if kind == "Number":
        return _testing.display_number(payload)
    if kind == "Integer":
        return _testing.display_integer(payload)
    if kind == "Bool":
        return "true" if payload else "false"
    if kind == "DateTime":
        return _testing.display_datetime(*payload)
    return "" if kind == "Empty" else payload


# --- the value-from-text rule: cases --------------------------------------------------------

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize(
    ("text", "kind", "shown"),
    [
        ("", "Empty", ""),
        # words
        ("true", "Bool", "true"), ("TRUE", "Bool", "true"), ("tRuE", "Bool", "true"),
        ("False", "Bool", "false"), ("falſe", "Bool", "false"), ("FALSE ", "Text", "FALSE "),
        (" true", "Text", " true"), ("truth", "Text", "truth"), ("ﬁ", "Text", "ﬁ"),
        ("ǰ", "Text", "ǰ"), ("=SUM(A1:A3)", "Text", "=SUM(A1:A3)"),
        # integers
        ("0012", "Integer", "12"), ("+5", "Integer", "5"), ("-0", "Integer", "0"),
        ("2147483647", "Integer", "2147483647"), ("-2147483648", "Integer", "-2147483648"),
        ("00000000000000000000042", "Integer", "42"),
        ("2147483648", "Number", "2147483648"), ("-2147483649", "Number", "-2147483649"),
        ("99999999999999999999999", "Number", "100000000000000000000000"),
        ("-", "Text", "-"), ("+", "Text", "+"), ("+-1", "Text", "+-1"), ("--1", "Text", "--1"),
        (" 12", "Text", " 12"), ("12 ", "Text", "12 "), ("1_000", "Text", "1_000"),
        ("１２", "Text", "１２"), ("١", "Text", "١"), ("0x10", "Text", "0x10"),
        # decimals
        ("1.50", "Number", "1.5"), ("1e3", "Number", "1000"), ("1E+3", "Number", "1000"),
        (".5", "Number", "0.5"), ("5.", "Number", "5"), ("-.5e-1", "Number", "-0.05"),
        ("-0.0", "Number", "-0"), ("+0.", "Number", "0"), ("1e20", "Number", "100000000000000000000"),
        ("1.5e-7", "Number", "0.00000015"), ("0.1", "Number", "0.1"),
        ("nan", "Number", "NaN"), ("-NaN", "Number", "NaN"), ("Inf", "Number", "inf"),
        ("-Infinity", "Number", "-inf"), ("+iNfInItY", "Number", "inf"),
        ("1e400", "Number", "inf"), ("-1e400", "Number", "-inf"), ("1e-400", "Number", "0"),
        ("-1e-400", "Number", "-0"), ("0e999999999999999999999", "Number", "0"),
        ("1e", "Text", "1e"), ("e5", "Text", "e5"), (".", "Text", "."), ("-.", "Text", "-."),
        (".e1", "Text", ".e1"), ("1e+", "Text", "1e+"), ("1.5.", "Text", "1.5."),
        ("infinit", "Text", "infinit"), ("nan(1)", "Text", "nan(1)"), ("in", "Text", "in"),
        ("ınf", "Text", "ınf"), ("1 e3", "Text", "1 e3"), ("0x1p3", "Text", "0x1p3"),
        # date-times
        ("2024-1-5 9:3:7", "DateTime", "2024-01-05 09:03:07"),
        (" 2024-01-05 09:03:07", "DateTime", "2024-01-05 09:03:07"),
        ("2024-01-0509:03:07", "DateTime", "2024-01-05 09:03:07"),
        ("2024- 1-\t5\n\r 9: 3:\v7", "DateTime", "2024-01-05 09:03:07"),
        ("2016-12-31 23:59:60", "DateTime", "2016-12-31 23:59:60"),
        ("2000-02-29 00:00:00", "DateTime", "2000-02-29 00:00:00"),
        ("0-2-29 0:0:0", "DateTime", "0000-02-29 00:00:00"),
        ("-1-01-01 00:00:00", "DateTime", "-0001-01-01 00:00:00"),
        ("+10000-01-01 00:00:00", "DateTime", "+10000-01-01 00:00:00"),
        ("+0002024-01-01 00:00:00", "DateTime", "2024-01-01 00:00:00"),
        ("-2147483648-12-31 23:59:59", "DateTime", "-2147483648-12-31 23:59:59"),
        ("+2147483648-01-01 00:00:00", "Text", "+2147483648-01-01 00:00:00"),
        ("-2147483649-01-01 00:00:00", "Text", "-2147483649-01-01 00:00:00"),
        ("-99999999999999999999-01-01 00:00:00", "Text", "-99999999999999999999-01-01 00:00:00"),
        ("20240-01-01 00:00:00", "Text", "20240-01-01 00:00:00"),
        ("2024-01-05", "Text", "2024-01-05"),
        ("2024-01-05T10:00:00", "Text", "2024-01-05T10:00:00"),
        ("2024-02-30 10:00:00", "Text", "2024-02-30 10:00:00"),
        ("1900-02-29 00:00:00", "Text", "1900-02-29 00:00:00"),
        ("2024-01-05 24:00:00", "Text", "2024-01-05 24:00:00"),
        ("2024-01-05 09:60:00", "Text", "2024-01-05 09:60:00"),
        ("2024-01-05 09:00:61", "Text", "2024-01-05 09:00:61"),
        ("2024-00-05 09:00:00", "Text", "2024-00-05 09:00:00"),
        ("2024-01-00 09:00:00", "Text", "2024-01-00 09:00:00"),
        ("2024-01-05 09:03:07 ", "Text", "2024-01-05 09:03:07 "),
        ("2024-01-05 09:03:07.5", "Text", "2024-01-05 09:03:07.5"),
        ("2024-01-05 09:03", "Text", "2024-01-05 09:03"),
        ("2024 -01-05 09:03:07", "Text", "2024 -01-05 09:03:07"),
        ("2024-01-12:30:00", "Text", "2024-01-12:30:00"),
        ("2024-01-012:30:00", "DateTime", "2024-01-01 02:30:00"),
        ("2024-001-05 09:03:07", "Text", "2024-001-05 09:03:07"),
        ("2024-01-05\u00a009:03:07", "Text", "2024-01-05\u00a009:03:07"),
        ("- 2024-01-05 09:03:07", "Text", "- 2024-01-05 09:03:07"),
        ("+-2024-01-05 09:03:07", "Text", "+-2024-01-05 09:03:07"),
    ],
)
def test_value_from_text_cases(text, kind, shown):
    got = read(text)
    assert got[0] == kind
    assert display(*got) == shown
    assert same(got, reference_value(text))


@pytest.mark.parametrize(
    "text",
    [
        "2.4703282292062327e-324", "2.4703282292062328e-324", "4.9406564584124654e-324",
        "2.2250738585072011e-308", "2.2250738585072014e-308", "1.7976931348623157e308",
        "1.7976931348623158e308", "1.7976931348623159e308", "9007199254740993",
        "9007199254740993.0000000000000000000000000000001", "0." + "0" * 400 + "1e401",
        "1" + "0" * 400 + "e-400", "123456789012345678901234567890e-10", "1e-99999999999999",
        "7.2057594037927933e16", "0.30000000000000004", "1e23", "8.98846567431158e307",
    ],
)
def test_hard_roundings_match_float(text):
    got = read(text)
    assert got[0] == "Number"
    assert same(got, ("Number", float(text)))


# --- the value-from-text rule: differential -------------------------------------------------

number_texts = st.one_of(
    st.from_regex(FLOAT_RE, fullmatch=True),
    st.floats(allow_nan=False).map(repr),
    st.tuples(st.floats(allow_nan=False, allow_infinity=False), st.integers(0, 25)).map(
        lambda t: f"{t[0]:.{t[1]}e}"
    ),
    st.integers(-(2**70), 2**70).map(str),
)


def _near_halfway(x, nudge):
    """The exact midpoint between a double and its upper neighbour, or that nudged a hair."""
    with localcontext(prec=1200):
        mid = (Decimal(x) + Decimal(math.nextafter(x, math.inf))) / 2
        if nudge:
            mid += Decimal(nudge).scaleb(mid.adjusted() - 40)
        return str(mid)


halfway_texts = st.builds(
    _near_halfway, st.floats(min_value=0, max_value=1e300), st.sampled_from([0, 1, -1])
)

datetime_texts = st.builds(
    lambda y, mo, d, h, mi, s, pads, year_form: (
        f"{pads[0]}{year_form(y)}-{pads[1]}{mo}-{pads[2]}{d}{pads[3]}{h}:{pads[4]}{mi}:{pads[5]}{s}"
    ),
    st.integers(-(2**31) - 2, 2**31 + 2),
    st.integers(0, 13).map(str) | st.sampled_from(["01", "00", "012"]),
    st.integers(0, 32).map(str) | st.sampled_from(["09", "29", "31"]),
    st.integers(0, 25).map(str),
    st.integers(0, 61).map(str),
    st.integers(0, 61).map(str) | st.sampled_from(["05", "60", "005"]),
    st.lists(st.sampled_from(["", "", "", " ", "\t", "\n ", "\v\f\r", "\u00a0"]), min_size=6, max_size=6),
    st.sampled_from([str, lambda y: f"{y:+d}", lambda y: f"{y:+07d}", lambda y: f"{y:04d}"]),
)

noise_texts = st.text(alphabet="0123456789+-.eE:infatyINFATY \t\n_", max_size=24)

LETTER_SPELLINGS = {"T": "tT", "R": "rR", "U": "uU", "E": "eE", "F": "fF", "A": "aA", "L": "lL", "S": "sSſ"}

bool_texts = st.builds(
    lambda head, word, picks, tail: head
    + "".join(LETTER_SPELLINGS[ch][k % len(LETTER_SPELLINGS[ch])] for ch, k in zip(word, picks))
    + tail,
    st.sampled_from(["", "", "", " ", "ẗ", "ǰ", "ﬁ", "\u0130"]),
    st.sampled_from(["TRUE", "FALSE", "TRU", "FALS", "ALSE"]),
    st.lists(st.integers(0, 2), min_size=5, max_size=5),
    st.sampled_from(["", "", "", " ", "ſ", "\u0307", "e", "ß"]),
)


@settings(max_examples=2000, deadline=None)
@given(st.one_of(number_texts, halfway_texts, datetime_texts, noise_texts, bool_texts, st.text(max_size=12)))
@example("1e")
@example("-2147483648")
def test_value_from_text_matches_reference(text):
    got = read(text)
    want = reference_value(text)
    assert same(got, want), (text, got, want)


def _bool_spellings():
    """Every spelling of TRUE or FALSE that differs from an ASCII one in one character."""
    words = ("TRUE", "FALSE")
    found = []
    for cp in range(sys.maxunicode + 1):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        c = chr(cp)
        up = c.upper()
        if not up or not any(up in w for w in words):
            continue
        for w in words:
            i = w.find(up)
            while i >= 0:
                found.append((w[:i].lower() + c + w[i + len(up) :].lower(), w == "TRUE"))
                i = w.find(up, i + 1)
    return found


def test_every_character_that_upper_cases_into_true_or_false_counts():
    spellings = _bool_spellings()
    assert ("falſe", False) in spellings
    wrong = [(t, b, read(t)) for t, b in spellings if read(t) != ("Bool", b)]
    assert wrong == []


@settings(max_examples=300, deadline=None)
@given(st.integers(INT32_MIN, INT32_MAX))
def test_integers_read_and_display(i):
    assert read(str(i)) == ("Integer", i)
    assert _testing.display_integer(i) == str(i)


# --- display text and JSON layout of doubles ------------------------------------------------


@pytest.mark.parametrize(
    ("x", "shown", "json_text"),
    [
        (0.0, "0", "0.0"), (-0.0, "-0", "-0.0"), (1.0, "1", "1.0"), (3.0, "3", "3.0"),
        (20.0, "20", "20.0"), (1e15, "1000000000000000", "1000000000000000.0"),
        (9999999999999998.0, "9999999999999998", "9999999999999998.0"),
        (1e16, "10000000000000000", "1e16"), (1.5e16, "15000000000000000", "1.5e16"),
        (22.5, "22.5", "22.5"), (-2.5, "-2.5", "-2.5"), (3.14159, "3.14159", "3.14159"),
        (123.25, "123.25", "123.25"), (0.1, "0.1", "0.1"), (0.0001, "0.0001", "0.0001"),
        (0.00001, "0.00001", "0.00001"), (0.000001, "0.000001", "1e-6"),
        (1.23e-7, "0.000000123", "1.23e-7"), (1.5e-7, "0.00000015", "1.5e-7"),
        (1e20, "100000000000000000000", "1e20"), (1e21, "1" + "0" * 21, "1e21"),
        (1e300, "1" + "0" * 300, "1e300"), (-1e-300, "-0." + "0" * 299 + "1", "-1e-300"),
        (1.2345678901234568e20, "123456789012345680000", "1.2345678901234568e20"),
        (5e-324, "0." + "0" * 323 + "5", "5e-324"),
        (1.7976931348623157e308, "17976931348623157" + "0" * 292, "1.7976931348623157e308"),
        (NAN, "NaN", None), (INF, "inf", None), (-INF, "-inf", None),
    ],
)
def test_number_layouts(x, shown, json_text):
    assert _testing.display_number(x) == shown
    if json_text is not None:
        assert _testing.json_number(x) == json_text


@settings(max_examples=2000, deadline=None)
@given(st.floats())
@example(-float("nan"))
def test_display_number_is_shortest_positional(x):
    text = _testing.display_number(x)
    assert text == reference_display(x)
    if math.isfinite(x):
        assert "e" not in text and not text.endswith(".")
        assert same(("Number", float(text)), ("Number", x))
        # The display text reads back through the value-from-text rule too (as an integer when
        # it is one that fits).
        got = read(text)
        if got[0] == "Integer":
            assert got[1] == x
        else:
            assert same(got, ("Number", x))


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_json_number_layout(x):
    text = _testing.json_number(x)
    assert text == json_number(x)
    assert same(("Number", json.loads(text)), ("Number", float(x)))
    assert isinstance(json.loads(text), float)


# --- date-time text -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("fields", "shown"),
    [
        ((2024, 3, 5, 7, 8, 9, 0), "2024-03-05 07:08:09"),
        ((2024, 3, 5, 14, 30, 0, 250_000_000), "2024-03-05 14:30:00.250"),
        ((2024, 3, 5, 14, 30, 0, 500_000_000), "2024-03-05 14:30:00.500"),
        ((2024, 3, 5, 14, 30, 0, 123_456_000), "2024-03-05 14:30:00.123456"),
        ((2024, 3, 5, 14, 30, 0, 123_456_789), "2024-03-05 14:30:00.123456789"),
        ((2024, 3, 5, 14, 30, 0, 1_000), "2024-03-05 14:30:00.000001"),
        ((2024, 3, 5, 14, 30, 0, 1), "2024-03-05 14:30:00.000000001"),
        ((0, 1, 1, 0, 0, 0, 0), "0000-01-01 00:00:00"),
        ((9999, 12, 31, 23, 59, 59, 0), "9999-12-31 23:59:59"),
        ((10000, 1, 1, 0, 0, 0, 0), "+10000-01-01 00:00:00"),
        ((-1, 1, 1, 0, 0, 0, 0), "-0001-01-01 00:00:00"),
        ((-12345, 1, 1, 0, 0, 0, 0), "-12345-01-01 00:00:00"),
        ((INT32_MIN, 1, 1, 0, 0, 0, 0), "-2147483648-01-01 00:00:00"),
        ((INT32_MAX, 1, 1, 0, 0, 0, 0), "+2147483647-01-01 00:00:00"),
        ((2016, 12, 31, 23, 59, 59, 1_000_000_000), "2016-12-31 23:59:60"),
        ((2016, 12, 31, 23, 59, 59, 1_500_000_000), "2016-12-31 23:59:60.500"),
    ],
)
def test_datetime_layouts(fields, shown):
    assert _testing.display_datetime(*fields) == shown
    assert _testing.json_datetime(*fields) == shown.replace(" ", "T")


@settings(max_examples=1000, deadline=None)
@given(
    st.integers(INT32_MIN, INT32_MAX) | st.integers(-20000, 20000),
    st.integers(1, 12),
    st.integers(1, 28),
    st.integers(0, 23),
    st.integers(0, 59),
    st.integers(0, 59),
    st.integers(0, 999_999_999) | st.integers(0, 999).map(lambda k: k * 1_000_000)
    | st.integers(0, 999_999).map(lambda k: k * 1000),
)
def test_datetime_text_matches_reference_and_reads_back(y, mo, d, h, mi, s, nanos):
    fields = (y, mo, d, h, mi, s, nanos)
    shown = _testing.display_datetime(*fields)
    assert shown == reference_datetime_text(*fields, " ")
    assert _testing.json_datetime(*fields) == reference_datetime_text(*fields, "T")
    if nanos == 0:
        assert read(shown) == ("DateTime", fields)
