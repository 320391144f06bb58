"""The JSON document: exact text, key order, omissions, number and date-time layouts, escaping."""

import datetime as dt
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tabrix


def only_sheet(book):
    return json.loads(book.to_json())["sheets"][0]


def test_exact_document_of_a_new_sheet(book):
    book.add_sheet("S")
    assert book.to_json() == (
        '{"sheets":[{"name":"S","sheet_state":"visible","cells":[],'
        '"row_dimensions":{"default_height":20.0},'
        '"column_dimensions":{"default_width":22.5},"comments":[]}]}'
    )


def test_exact_document_with_everything(book):
    s = book.add_sheet("Отчёт", "hidden")
    s.add_merge_cells(1, 2, 1, 3)
    c = s.cell(2, 1, "3")
    c.formula = "SUM(A1:A2)"
    c.style = "bold"
    c.hidden_value = "h"
    s.cell(1, 2, "x")
    s.set_height_row(5, 30)
    s.set_hidden_column(2, True)
    s.add_comment(1, 2, "note", "me")
    assert book.to_json() == (
        '{"sheets":[{"name":"Отчёт","sheet_state":"hidden","merge_cells":[[1,2,1,3]],'
        '"cells":[{"row":1,"column":2,"value":"x","data_type":"s"},'
        '{"row":2,"column":1,"value":3,"formula":"SUM(A1:A2)","data_type":"f","style_id":"bold","hidden_value":"h"}],'
        '"row_dimensions":{"rows":{"5":{"row_num":5,"height":30.0,"hidden":false}},"default_height":20.0},'
        '"column_dimensions":{"columns":{"2":{"col_num":2,"width":22.5,"hidden":true}},"default_width":22.5},'
        '"comments":[{"row":1,"column":2,"author":"me","text":"note"}]}]}'
    )


def test_cells_sorted_and_minimal_keys(book):
    s = book.add_sheet("S")
    for r, c in [(2, 1), (1, 3), (1, 2)]:
        s.cell(r, c, "v")
    cells = only_sheet(book)["cells"]
    assert [(x["row"], x["column"]) for x in cells] == [(1, 2), (1, 3), (2, 1)]
    assert all(list(x) == ["row", "column", "value", "data_type"] for x in cells)


@pytest.mark.parametrize(
    ("setup", "fragment"),
    [
        (lambda c: c.set_value_number(3.0), '"value":3.0,'),
        (lambda c: c.set_value_integer(3), '"value":3,'),
        (lambda c: c.set_value_number(float("nan")), '"value":null,'),
        (lambda c: c.set_value_number(float("inf")), '"value":null,'),
        (lambda c: c.set_value_number(-0.0), '"value":-0.0,'),
        (lambda c: c.set_value_number(1e16), '"value":1e16,'),
        (lambda c: c.set_value_number(1.5e16), '"value":1.5e16,'),
        (lambda c: c.set_value_number(1e15), '"value":1000000000000000.0,'),
        (lambda c: c.set_value_number(0.0001), '"value":0.0001,'),
        (lambda c: c.set_value_number(0.000001), '"value":1e-6,'),
        (lambda c: c.set_value_number(1.23e-7), '"value":1.23e-7,'),
        (lambda c: c.set_value_number(22.5), '"value":22.5,'),
        (lambda c: c.set_value_bool(True), '"value":true,'),
        (lambda c: None, '"value":null,'),
        (lambda c: c.set_value_datetime(dt.datetime(2024, 1, 2, 3, 4, 5, 500000)), '"value":"2024-01-02T03:04:05.500",'),
        (lambda c: c.set_value_datetime(dt.datetime(2024, 3, 5, 14, 30, 0, 123456)), '"value":"2024-03-05T14:30:00.123456",'),
        (lambda c: c.set_value_datetime(dt.datetime(2024, 3, 5, 14, 30)), '"value":"2024-03-05T14:30:00",'),
        (lambda c: setattr(c, "value", "+10000-01-01 00:00:00"), '"value":"+10000-01-01T00:00:00",'),
        (lambda c: setattr(c, "value", '"\\\t\x01é/\x7f\x1b\n\r\b\f'), r'"value":"\"\\\t\u0001é/' + "\x7f" + r'\u001b\n\r\b\f",'),
    ],
)
def test_value_layout(book, setup, fragment):
    c = book.add_sheet("S").cell(1, 1)
    setup(c)
    assert fragment in book.to_json()


def test_dimensions_numbers(book):
    s = book.add_sheet("S")
    s.set_height_row(5, 30)
    s.set_width_column(1, float("nan"))
    doc = only_sheet(book)
    assert doc["row_dimensions"]["rows"] == {"5": {"row_num": 5, "height": 30.0, "hidden": False}}
    assert doc["column_dimensions"]["columns"]["1"]["width"] is None


text = st.text(st.characters(exclude_categories=["Cs"]), max_size=30)


@settings(max_examples=300, deadline=None)
@given(names=st.lists(text, min_size=1, max_size=3), values=st.lists(text, max_size=20), author=text)
def test_every_string_round_trips(names, values, author):
    book = tabrix.Book()
    for name in names:
        s = book.add_sheet(name, author)
        for i, v in enumerate(values):
            c = s.cell(i + 1, 1)
            c.formula = v
            c.style = v
            c.hidden_value = v
        s.add_comment(1, 1, author, author)
    out = book.to_json()
    assert json.loads(out) == book.to_dict()
    doc = json.loads(out)
    assert [s["name"] for s in doc["sheets"]] == names
    for sh in doc["sheets"]:
        assert sh["sheet_state"] == author
        assert [c["formula"] for c in sh["cells"]] == values
        assert [c["style_id"] for c in sh["cells"]] == values
        assert sh["comments"][0]["text"] == author


@settings(max_examples=500, deadline=None)
@given(x=st.floats(allow_nan=False, allow_infinity=False))
def test_numbers_read_back_exactly(x):
    book = tabrix.Book()
    book.add_sheet("S").cell(1, 1).set_value_number(x)
    (cell,) = only_sheet(book)["cells"]
    got = cell["value"]
    assert isinstance(got, float) and got == x
    assert str(got).startswith("-") == str(x).startswith("-")


def _varied_text(i):
    return [f"w{i}", str(i * 7 - 300), f"{i}.{i % 100:02d}", "2024-02-29 13:45:00", "TRUE", "",
            f'say "hi" \\ {i}\n', f"Grüße {i}", "1e400", "x" * (i % 40)][i % 10]


@pytest.mark.parametrize("rows", [2_000, 9_000])
def test_large_sheet_is_the_cell_by_cell_document(rows):
    """A sheet big enough to be written in parallel stretches gives exactly the text its cells
    give one at a time, joined in order (stretch boundaries, escapes, non-ASCII included)."""
    big = tabrix.Book()
    sheet = big.add_sheet("Big")
    alone = []
    for i in range(rows * 10):
        r, c = divmod(i, 10)
        sheet.cell(r + 1, c + 1, _varied_text(i))
        one = tabrix.Book()
        one.add_sheet("Big").cell(r + 1, c + 1, _varied_text(i))
        doc = one.to_json()
        alone.append(doc[doc.index('"cells":[') + 9 : doc.index('],"row_dimensions"')])
    doc = big.to_json()
    assert doc[doc.index('"cells":[') + 9 : doc.index('],"row_dimensions"')] == ",".join(alone)
    assert json.loads(doc)["sheets"][0]["name"] == "Big"
