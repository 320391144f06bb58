"""The binding layer's conversions and argument binding, through private probes."""

import pytest

from tabrix import _testing as t

RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    ("probe", "value", "expected"),
    [
        (t.probe_row, 0, 0), (t.probe_row, 4294967295, 4294967295), (t.probe_row, True, 1),
        (t.probe_row, Index(7), 7), (t.probe_col, 65535, 65535), (t.probe_col, False, 0),
        (t.probe_int32, -2147483648, -2147483648), (t.probe_int32, 2147483647, 2147483647),
        (t.probe_number, 2, 2.0), (t.probe_number, 1.5, 1.5), (t.probe_number, Index(3), 3.0),
        (t.probe_bool, True, True), (t.probe_bool, False, False),
        (t.probe_text, "é€😀", "é€😀"), (t.probe_text, "", ""),
        (t.probe_optional_text, None, None), (t.probe_optional_text, "x", "x"),
        (t.probe_rows, (5, 2, 2), [5, 2, 2]), (t.probe_rows, [], []), (t.probe_rows, range(3), [0, 1, 2]),
        (t.probe_texts, ("Data",), ["Data"]),
    ],
)
def test_conversions(probe, value, expected):
    got = probe(value)
    assert got == expected and type(got) is type(expected)


def test_optional_text_may_be_omitted():
    assert t.probe_optional_text() is None


@pytest.mark.parametrize(
    ("probe", "value", "exc", "message"),
    [
        (t.probe_row, -1, OverflowError, RANGE),
        (t.probe_row, 2**32, OverflowError, RANGE),
        (t.probe_col, 65536, OverflowError, RANGE),
        (t.probe_int32, 2**31, OverflowError, RANGE),
        (t.probe_int32, -(2**31) - 1, OverflowError, RANGE),
        (t.probe_row, 1.0, TypeError, "argument 'row': 'float' object cannot be interpreted as an integer"),
        (t.probe_col, "1", TypeError, "argument 'col': 'str' object cannot be interpreted as an integer"),
        (t.probe_int32, "0", TypeError, "argument 'idx': 'str' object cannot be interpreted as an integer"),
        (t.probe_number, "1", TypeError, "argument 'val': must be real number, not str"),
        (t.probe_bool, 1, TypeError, "argument 'val': 'int' object cannot be converted to 'bool'"),
        (t.probe_bool, None, TypeError, "argument 'val': 'NoneType' object cannot be converted to 'bool'"),
        (t.probe_text, None, TypeError, "argument 'name': 'NoneType' object cannot be converted to 'str'"),
        (t.probe_text, b"x", TypeError, "argument 'name': 'bytes' object cannot be converted to 'str'"),
        (t.probe_optional_text, 5, TypeError, "argument 'value': 'int' object cannot be converted to 'str'"),
        (t.probe_list, (1,), TypeError, "argument 'sheets': 'tuple' object cannot be converted to 'list'"),
        (t.probe_rows, "12", TypeError, "argument 'rows': a str cannot be taken as a list"),
        (t.probe_rows, {1, 2}, TypeError, "argument 'rows': 'set' object cannot be converted to 'Sequence'"),
        (t.probe_rows, (x for x in [1]), TypeError, "argument 'rows': 'generator' object cannot be converted to 'Sequence'"),
        (t.probe_rows, [5, -1], OverflowError, RANGE),
        (t.probe_rows, [5, "x"], TypeError, "argument 'rows': 'str' object cannot be interpreted as an integer"),
        (t.probe_texts, "Data", TypeError, "argument 'name_list': a str cannot be taken as a list"),
        (t.probe_texts, ["a", 1], TypeError, "argument 'name_list': 'int' object cannot be converted to 'str'"),
    ],
)
def test_conversion_errors(probe, value, exc, message):
    with pytest.raises(exc) as info:
        probe(value)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_beyond_64_bits_keeps_the_interpreters_message():
    with pytest.raises(OverflowError) as info:
        t.probe_row(2**64)
    assert str(info.value) != RANGE


def test_lone_surrogate_gives_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        t.probe_text("\ud800")


def test_numpy_bool_is_a_bool():
    np = pytest.importorskip("numpy")
    assert t.probe_bool(np.bool_(True)) is True


def test_list_subclass_is_a_list():
    class L(list):
        pass

    value = L([1])
    assert t.probe_list(value) is value


def test_sequence_protocol_and_raising_iteration():
    class Seq:
        def __len__(self):
            return 99  # only sizes the result; iteration decides

        def __getitem__(self, i):
            if i < 3:
                return i
            raise IndexError

    assert t.probe_rows(Seq()) == [0, 1, 2]

    class Boom(Seq):
        def __getitem__(self, i):
            raise TypeError("nope")

    with pytest.raises(TypeError, match="^argument 'rows': nope$"):
        t.probe_rows(Boom())

    class Bad(Seq):
        def __getitem__(self, i):
            raise ValueError("broken")

    with pytest.raises(ValueError, match="^broken$"):
        t.probe_rows(Bad())


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((1,), {}, (1, "x", None)),
        ((1, "y"), {}, (1, "y", None)),
        ((1,), {"b": "z"}, (1, "z", None)),
        ((1,), {"c": 3}, (1, "x", {"c": 3})),
        ((1,), {"a": 2}, (1, "x", {"a": 2})),  # a positional-only name lands among the surplus
    ],
)
def test_binding(args, kwargs, expected):
    assert t.binder(*args, **kwargs) == expected


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: t.binder(), "binder() missing required argument 'a' (pos 1)"),
        (lambda: t.binder(1, "y", 3), "binder() takes at most 2 arguments (3 given)"),
        (lambda: t.binder(1, "y", b="z"), "binder() got multiple values for argument 'b'"),
        (lambda: t.probe_row(rows=1), "probe_row() got an unexpected keyword argument 'rows'"),
        (lambda: t.binder(1, b=None), "argument 'b': 'NoneType' object cannot be converted to 'str'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_by_name_not_identity():
    name = "".join(["r", "o", "w"])  # not interned
    assert t.probe_row(**{name: 4}) == 4


def test_signature_texts():
    assert t.binder.__text_signature__ == '(a, /, b="x", **kwargs)'
    assert t.probe_optional_text.__text_signature__ == "(value=None)"
