"""Cell: values of every kind, formulas, styles, hidden values, predicates, errors."""

import datetime as dt

import pytest

import tabrix

RANGE = "out of range integral type conversion attempted"


def kinds(cell):
    return {
        name
        for name in ("bool", "numeric", "integer", "datetime", "empty")
        if getattr(cell, f"is_value_{name}")
    }


@pytest.mark.parametrize(
    ("text", "value", "data_type", "kind"),
    [
        ("", "", "General", "empty"),
        ("True", "true", "b", "bool"),
        ("false", "false", "b", "bool"),
        ("FALSE ", "FALSE ", "s", None),
        ("0012", "12", "n", "integer"),
        ("-0", "0", "n", "integer"),
        ("-", "-", "s", None),
        ("2147483648", "2147483648", "n", "numeric"),
        ("1.50", "1.5", "n", "numeric"),
        ("nan", "NaN", "n", "numeric"),
        (" 12", " 12", "s", None),
        ("2024-1-5 9:3:7", "2024-01-05 09:03:07", "d", "datetime"),
        ("2024-02-30 10:00:00", "2024-02-30 10:00:00", "s", None),
        ("=SUM(A1:A3)", "=SUM(A1:A3)", "s", None),
        ("Итого", "Итого", "s", None),
    ],
)
def test_value_from_text(sheet, text, value, data_type, kind):
    cell = sheet.cell(1, 1, text)
    assert cell.value == value
    assert cell.data_type == data_type
    assert kinds(cell) == ({kind} if kind else set())
    assert not cell.is_formula
    again = sheet.cell(1, 1)
    assert (again.value, again.data_type) == (value, data_type)


def test_formula_lifecycle(sheet):
    cell = sheet.cell(1, 1, "5")
    cell.formula = "SUM(A1:A2)"
    assert (cell.formula, cell.data_type, cell.is_formula, cell.value) == ("SUM(A1:A2)", "f", True, "5")
    cell.value = "3"
    assert (cell.formula, cell.data_type, cell.is_formula, cell.value) == (None, "n", False, "3")
    cell.formula = ""
    assert cell.is_formula and cell.formula == ""
    cell.set_value_bool(True)
    assert cell.formula is None and cell.data_type == "b"


def test_style_and_hidden_value(sheet):
    cell = sheet.cell(1, 1, "x")
    assert cell.style is None and cell.hidden_value is None
    cell.style = "bold"
    cell.hidden_value = "id:7"
    cell.value = "y"
    assert (cell.style, cell.hidden_value, cell.data_type) == ("bold", "id:7", "s")


@pytest.mark.parametrize(
    ("setter", "arg", "value", "data_type", "kind"),
    [
        ("set_value_number", 7, "7", "n", "numeric"),
        ("set_value_number", 2.5, "2.5", "n", "numeric"),
        ("set_value_number", -0.0, "-0", "n", "numeric"),
        ("set_value_number", 1e20, "100000000000000000000", "n", "numeric"),
        ("set_value_number", float("-inf"), "-inf", "n", "numeric"),
        ("set_value_integer", 7, "7", "n", "integer"),
        ("set_value_integer", True, "1", "n", "integer"),
        ("set_value_integer", -(2**31), "-2147483648", "n", "integer"),
        ("set_value_bool", False, "false", "b", "bool"),
        ("set_value_datetime", dt.datetime(2024, 3, 5, 7, 8, 9), "2024-03-05 07:08:09", "d", "datetime"),
        ("set_value_datetime", dt.datetime(2024, 3, 5, 7, 8, 9, 500000), "2024-03-05 07:08:09.500", "d", "datetime"),
        ("set_value_datetime", dt.datetime(2024, 3, 5, 7, 8, 9, 123456), "2024-03-05 07:08:09.123456", "d", "datetime"),
        ("set_value_datetime", dt.datetime(1, 1, 1), "0001-01-01 00:00:00", "d", "datetime"),
    ],
)
def test_value_setters(sheet, setter, arg, value, data_type, kind):
    cell = sheet.cell(1, 1, "old")
    cell.formula = "A2"
    assert getattr(cell, setter)(arg) is None
    assert (cell.value, cell.data_type, cell.formula) == (value, data_type, None)
    assert kinds(cell) == {kind}


def test_value_setters_take_keywords(sheet):
    cell = sheet.cell(1, 1)
    cell.set_value_integer(value=4)
    assert cell.value == "4"


class Tz(dt.tzinfo):
    def utcoffset(self, d):
        return dt.timedelta(0)


@pytest.mark.parametrize(
    ("action", "exc", "message"),
    [
        (lambda c: setattr(c, "value", 5), TypeError, "argument 'value': 'int' object cannot be converted to 'str'"),
        (lambda c: setattr(c, "formula", None), TypeError, "argument 'value': 'NoneType' object cannot be converted to 'str'"),
        (lambda c: setattr(c, "style", 1.5), TypeError, "argument 'value': 'float' object cannot be converted to 'str'"),
        (lambda c: setattr(c, "hidden_value", b"x"), TypeError, "argument 'value': 'bytes' object cannot be converted to 'str'"),
        (lambda c: delattr(c, "formula"), AttributeError, "can't delete attribute"),
        (lambda c: delattr(c, "value"), AttributeError, "can't delete attribute"),
        (lambda c: c.set_value_number("1"), TypeError, "argument 'value': must be real number, not str"),
        (lambda c: c.set_value_number(2**1100), OverflowError, "int too large to convert to float"),
        (lambda c: c.set_value_integer(1.0), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
        (lambda c: c.set_value_integer(2**31), OverflowError, RANGE),
        (lambda c: c.set_value_bool(1), TypeError, "argument 'value': 'int' object cannot be converted to 'bool'"),
        (lambda c: c.set_value_datetime(dt.date(2024, 1, 1)), TypeError, "argument 'value': 'date' object cannot be converted to 'datetime'"),
        (lambda c: c.set_value_datetime(dt.datetime(2024, 1, 1, tzinfo=Tz())), TypeError, "argument 'value': expected a datetime without tzinfo"),
        (lambda c: c.set_value_number(), TypeError, None),
        (lambda c: c.set_value_bool(True, False), TypeError, None),
        (lambda c: c.set_value_bool(val=True), TypeError, None),
    ],
)
def test_errors_leave_the_cell_unchanged(sheet, action, exc, message):
    cell = sheet.cell(1, 1, "keep")
    cell.formula = "F"
    with pytest.raises(exc) as info:
        action(cell)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert (cell.value, cell.formula, cell.data_type) == ("keep", "F", "f")


@pytest.mark.parametrize("attr", ["row", "column", "letter", "data_type", "is_formula", "is_value_empty"])
def test_read_only_attributes(sheet, attr):
    with pytest.raises(AttributeError):
        setattr(sheet.cell(1, 1), attr, 1)


def test_identity_and_repr(sheet):
    a, b = sheet.cell(3, 2), sheet.cell(3, 2)
    assert a is not b and a != b
    a.value = "shared"
    assert b.value == "shared"
    assert repr(a) == "Cell, Coords: Coordinate { row: 3, column: 2 }"
    assert (a.row, a.column, a.letter) == (3, 2, "B3")
    assert sheet.cell(7, 0).letter == "7"
    with pytest.raises(TypeError, match="^No constructor defined for Cell$"):
        tabrix.Cell()


def test_comment_attributes(sheet):
    sheet.add_comment(4, 2, "text", "author")
    (c,) = sheet.comments
    assert (c.row, c.column, c.coordinate, c.author, c.text) == (4, 2, (4, 2), "author", "text")
    c.text = "changed"
    c.author = "me"
    (again,) = sheet.comments
    assert (again.text, again.author) == ("changed", "me")
    with pytest.raises(AttributeError):
        c.coordinate = (1, 1)
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del c.text
    with pytest.raises(TypeError, match="^argument 'val': 'int' object cannot be converted to 'str'$"):
        c.author = 1
    assert repr(c).startswith("<tabrix.Comment object at ")
    with pytest.raises(TypeError, match="^No constructor defined for Comment$"):
        tabrix.Comment()
