"""Writing workbooks to .xlsx: a round trip through openpyxl, date-times, numbers, streaming,
error cases, and what LibreOffice shows of a rendered file."""

import copy
import csv
import datetime as dt
import io
import math
import re
import shutil
import subprocess
import zipfile
from dataclasses import dataclass, field
from fractions import Fraction

import openpyxl
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tabrix
from tabrix import xlsx

STYLES = {"bold": {"bold": True}, "money": {"num_format": "0.00"}}
GRID_ROWS, GRID_COLS = 10, 6


def stored_height(points):
    """Row height as the file stores it: whole pixels of 0.75 points."""
    return int(points * 4 / 3 + 0.5) * 0.75


def stored_width(chars):
    """Column width as the file stores it: whole pixels plus cell padding, in 1/256 steps."""
    if chars == 0:
        return 0.0
    pixels = int(chars * 12 + 0.5) if chars < 1 else int(chars * 7 + 0.5) + 5
    return pixels * 256 // 7 / 256


DEFAULT_HEIGHT = stored_height(tabrix.DEFAULT_ROW_HEIGHT)
DEFAULT_WIDTH = stored_width(tabrix.DEFAULT_COLUMN_WIDTH)


def load(data, **kwargs):
    return openpyxl.load_workbook(io.BytesIO(data), **kwargs)


def render(source, **kwargs):
    out = io.BytesIO()
    xlsx.write(source, out, **kwargs)
    return out.getvalue()


# ---------------------------------------------------------------------------------------------
# The round trip: generated books, written, read back with openpyxl.

_SCRATCH = tabrix.Book().add_sheet("scratch")


def serial_to_datetime(serial):
    """Exact reading of a date serial: days since 1899-12-31, counting a 1900-02-29 (serial
    60) that the calendar lacks."""
    epoch = dt.datetime(1899, 12, 31) if serial < 60 else dt.datetime(1899, 12, 30)
    return epoch + dt.timedelta(microseconds=round(Fraction(serial) * 86_400_000_000))


def stays_text(text):
    """Texts that tabrix keeps as texts (others read as numbers, booleans or date-times)."""
    return _SCRATCH.cell(1, 1, text).data_type == "s"


# openpyxl does not undo the _xHHHH_ escapes that carry control characters (and literal
# '_xHHHH_' texts) in inline strings and comments; the LibreOffice test covers those.
_chars = st.characters(blacklist_categories=("Cs", "Cc"), blacklist_characters="\ufffe\uffff")
texts = (
    st.text(st.one_of(_chars, st.sampled_from("\t\n _x0")), min_size=1, max_size=20)
    .filter(lambda t: not re.search("_x[0-9A-Fa-f]{4}_", t))
    .filter(stays_text)
)
excel_datetimes = st.datetimes(dt.datetime(1900, 1, 1), dt.datetime(9999, 12, 31, 23, 59, 59))
early_datetimes = st.datetimes(dt.datetime(1, 1, 1), dt.datetime(1899, 12, 31, 23, 59, 59))
values = st.one_of(
    st.tuples(st.just("text"), texts),
    st.tuples(st.just("number"), st.floats()),
    st.tuples(st.just("integer"), st.integers(-(2**31), 2**31 - 1)),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("datetime"), excel_datetimes),
    st.tuples(st.just("early"), early_datetimes),
    st.tuples(st.just("empty"), st.none()),
)
FORMULAS = ["SUM(1,2)", '=A1&"x"', "1=1", "=PI()"]


@dataclass
class CellSpec:
    kind: str
    value: object
    formula: str | None
    style: str | None


@dataclass
class SheetSpec:
    name: str
    state: str
    cells: dict
    merges: list  # as added to the sheet
    comments: dict
    rows: dict  # row -> (height or None, hidden or None) as set
    columns: dict
    expected_merges: set = field(default_factory=set)
    covered: set = field(default_factory=set)  # merged cells other than the top-left one


def normal(merge):
    r1, r2, c1, c2 = merge
    return min(r1, r2), max(r1, r2), min(c1, c2), max(c1, c2)


def area(merge):
    r1, r2, c1, c2 = normal(merge)
    return f"{tabrix.get_letter_coordinate(r1, c1)}:{tabrix.get_letter_coordinate(r2, c2)}"


def cells_of(merge):
    r1, r2, c1, c2 = normal(merge)
    return {(r, c) for r in range(r1, r2 + 1) for c in range(c1, c2 + 1)}


def any_set(record):
    return record != (None, None)


def writes_something(cell_spec):
    """False for an empty cell without style or formula (a null number is empty too)."""
    return expected_value(cell_spec) is not None or bool(cell_spec.formula or cell_spec.style)


@st.composite
def sheet_specs(draw, name, state, streaming):
    coords = st.tuples(st.integers(1, GRID_ROWS), st.integers(1, GRID_COLS))
    cells = draw(
        st.dictionaries(
            coords,
            st.builds(
                lambda kv, f, s: CellSpec(kv[0], kv[1], f, s),
                values,
                st.none() | st.sampled_from(FORMULAS),
                st.none() | st.sampled_from(sorted(STYLES)),
            ),
            max_size=20,
        )
    )
    spec = SheetSpec(name, state, cells, [], {}, {}, {})
    # Merged ranges: reversed ones, one-cell ones and repeats are written as they come;
    # overlapping ones are left out here (they are an error, tested below).
    for merge in draw(st.lists(st.tuples(*[st.integers(1, n) for n in (8, 8, 5, 5)]), max_size=4)):
        taken = set().union(*(cells_of(m) for m in spec.merges))
        if area(merge) in spec.expected_merges or not cells_of(merge) & taken:
            spec.merges.append(merge)
            if len(cells_of(merge)) > 1:
                spec.expected_merges.add(area(merge))
                r1, _, c1, _ = normal(merge)
                spec.covered |= cells_of(merge) - {(r1, c1)}
    # openpyxl drops comments on covered cells and reads an empty author as 'None'.
    comment_coords = coords.filter(lambda rc: rc not in spec.covered)
    spec.comments = draw(st.dictionaries(comment_coords, st.tuples(texts, texts), max_size=3))
    record = st.tuples(st.none() | st.floats(0, 409), st.none() | st.booleans()).filter(any_set)
    # Streaming writes row records only on rows that have cells.
    cell_rows = sorted({r for (r, _), cell in cells.items() if writes_something(cell)})
    row_numbers = st.sampled_from(cell_rows) if streaming else st.integers(1, 12)
    if cell_rows or not streaming:
        spec.rows = draw(st.dictionaries(row_numbers, record, max_size=4))
    widths = st.tuples(st.none() | st.floats(0, 255), st.none() | st.booleans()).filter(any_set)
    spec.columns = draw(st.dictionaries(st.integers(1, 8), widths, max_size=4))
    return spec


@st.composite
def book_specs(draw, streaming):
    names = draw(
        st.lists(
            st.text(st.sampled_from("abcXYZ 1é-"), min_size=1, max_size=31),
            min_size=1,
            max_size=3,
            unique_by=str.lower,
        )
    )
    states = [draw(st.sampled_from(["visible", "hidden", "veryHidden"])) for _ in names]
    states[draw(st.integers(0, len(names) - 1))] = "visible"
    return [draw(sheet_specs(n, s, streaming)) for n, s in zip(names, states)]


def build(specs):
    book = tabrix.Book()
    for spec in specs:
        sheet = book.add_sheet(spec.name, spec.state)
        for (r, c), cell_spec in spec.cells.items():
            cell = sheet.cell(r, c)
            kind, value = cell_spec.kind, cell_spec.value
            if kind == "text":
                cell.value = value
            elif kind == "number":
                cell.set_value_number(value)
            elif kind == "integer":
                cell.set_value_integer(value)
            elif kind == "bool":
                cell.set_value_bool(value)
            elif kind in ("datetime", "early"):
                cell.set_value_datetime(value)
            if kind == "early":
                cell_spec.value = cell.value  # written as the text tabrix shows
            if cell_spec.formula is not None:
                cell.formula = cell_spec.formula
            if cell_spec.style is not None:
                cell.style = cell_spec.style
        for merge in spec.merges:
            sheet.add_merge_cells(*merge)
        for (r, c), (text, author) in spec.comments.items():
            sheet.add_comment(r, c, text, author)
        for r, (height, hidden) in spec.rows.items():
            if height is not None:
                sheet.set_height_row(r, height)
            if hidden is not None:
                sheet.set_hidden_row(r, hidden)
        for c, (width, hidden) in spec.columns.items():
            if width is not None:
                sheet.set_width_column(c, width)
            if hidden is not None:
                sheet.set_hidden_column(c, hidden)
    return book


def expected_value(cell_spec):
    kind, value = cell_spec.kind, cell_spec.value
    if kind == "number" and not math.isfinite(value):
        return None
    return value


def assert_same(read, cell_spec, where):
    expected = expected_value(cell_spec)
    if cell_spec.kind == "datetime":
        if isinstance(read, float):  # a style's own number format shows the serial number
            read = serial_to_datetime(read)
        # openpyxl reads date serials to the millisecond.
        assert abs(read - expected) <= dt.timedelta(microseconds=600), (where, read)
    elif isinstance(expected, bool) or isinstance(read, bool):
        assert read is expected, (where, read)
    else:
        assert read == expected, (where, read)
        assert isinstance(read, str) == isinstance(expected, str), (where, read)


def width_of(ws, col):
    for dim in ws.column_dimensions.values():
        if dim.min <= col <= dim.max:
            return dim.width, bool(dim.hidden)
    raise AssertionError(f"column {col} has no width")


def check_sheet(ws, ws_cached, spec):
    assert ws.sheet_state == spec.state
    for (r, c), cell_spec in spec.cells.items():
        where = (spec.name, r, c, cell_spec)
        if (r, c) in spec.covered:
            continue
        read = ws.cell(r, c)
        if cell_spec.formula is not None:
            assert read.value == "=" + cell_spec.formula.removeprefix("="), where
            assert_same(ws_cached.cell(r, c).value, cell_spec, where)
        else:
            assert_same(read.value, cell_spec, where)
        in_excel_dates = cell_spec.kind == "datetime"
        if cell_spec.style == "money":
            assert read.number_format == "0.00", where
        elif in_excel_dates:
            assert read.number_format == xlsx.DEFAULT_DATE_FORMAT, where
        assert bool(read.font.b) == (cell_spec.style == "bold"), where
    written = {(c.row, c.column) for row in ws.iter_rows() for c in row if c.value is not None}
    assert written <= set(spec.cells)

    assert {str(m) for m in ws.merged_cells.ranges} == spec.expected_merges
    comments = {(c.row, c.column): c.comment for row in ws.iter_rows() for c in row if c.comment}
    assert {rc: (cm.text, cm.author) for rc, cm in comments.items()} == spec.comments

    assert ws.sheet_format.defaultRowHeight == DEFAULT_HEIGHT
    for r in range(1, 13):
        dim = ws.row_dimensions[r]
        if r in spec.rows:
            height, hidden = spec.rows[r]
            pixels_zero = height is not None and stored_height(height) == 0
            want = DEFAULT_HEIGHT if height is None or pixels_zero else stored_height(height)
            assert (dim.height, bool(dim.hidden)) == (want, bool(hidden) or pixels_zero), r
        else:
            assert not dim.hidden
            assert dim.height in (None, DEFAULT_HEIGHT)
    for c in range(1, 11):
        width, hidden = spec.columns.get(c, (None, None))
        want = stored_width(tabrix.DEFAULT_COLUMN_WIDTH if width is None else width)
        assert width_of(ws, c) == (want, bool(hidden)), c
    assert width_of(ws, 16384) == (DEFAULT_WIDTH, False)


@pytest.mark.parametrize("streaming", [False, True])
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_round_trip(streaming, data):
    specs = data.draw(book_specs(streaming))
    book = build(specs)
    out = render(book, styles=STYLES, constant_memory=streaming)
    wb, wb_cached = load(out), load(out, data_only=True)
    assert wb.sheetnames == [s.name for s in specs]
    assert wb.active.title == next(s.name for s in specs if s.state == "visible")
    for spec in specs:
        check_sheet(wb[spec.name], wb_cached[spec.name], spec)


# ---------------------------------------------------------------------------------------------
# Date-times and numbers.


@settings(max_examples=100, deadline=None)
@given(st.datetimes(dt.datetime(1900, 3, 1), dt.datetime(2079, 6, 5)))
def test_date_times_keep_their_microseconds(stamp):
    # A style with its own number format shows the serial as a number, so openpyxl hands it
    # over unrounded. Up to 2079 a double holds every microsecond.
    book = tabrix.Book()
    cell = book.add_sheet("S").cell(1, 1)
    cell.set_value_datetime(stamp)
    cell.style = "raw"
    ws = load(render(book, styles={"raw": {"num_format": "0.000000000000"}})).active
    assert serial_to_datetime(ws["A1"].value) == stamp


@pytest.mark.parametrize(
    "setup, expected",
    [
        # the first days of 1900 sit before the missing leap day that spreadsheets count
        (dt.datetime(1900, 1, 1, 6), dt.datetime(1900, 1, 1, 6)),
        (dt.datetime(1900, 2, 28, 23, 59, 59), dt.datetime(1900, 2, 28, 23, 59, 59)),
        (dt.datetime(1900, 3, 1), dt.datetime(1900, 3, 1)),
        (dt.datetime(9999, 12, 31, 23, 59, 59), dt.datetime(9999, 12, 31, 23, 59, 59)),
        # no spreadsheet date: written as the text tabrix shows
        (dt.datetime(1899, 12, 31, 23, 59, 59), "1899-12-31 23:59:59"),
        (dt.datetime(1, 1, 1, 0, 0, 0, 500000), "0001-01-01 00:00:00.500"),
        ("2016-12-31 23:59:60", "2016-12-31 23:59:60"),
        ("+10000-01-01 00:00:00", "+10000-01-01 00:00:00"),
    ],
)
def test_date_time_range(setup, expected):
    book = tabrix.Book()
    cell = book.add_sheet("S").cell(1, 1)
    if isinstance(setup, str):
        cell.value = setup
        assert cell.is_value_datetime
    else:
        cell.set_value_datetime(setup)
    read = load(render(book)).active["A1"]
    assert read.value == expected
    assert (read.number_format == xlsx.DEFAULT_DATE_FORMAT) == isinstance(expected, dt.datetime)


def test_date_format_can_be_chosen():
    book = tabrix.Book()
    book.add_sheet("S").cell(1, 1, "2024-03-05 14:30:00")
    read = load(render(book, date_format="dd/mm/yyyy")).active["A1"]
    assert (read.value, read.number_format) == (dt.datetime(2024, 3, 5, 14, 30), "dd/mm/yyyy")


def test_date_time_told_from_text_after_the_data_type_changed():
    """A formula sets the data type to "f", after which the document cannot tell a date-time
    from a text in the same layout; a Book source is asked."""
    book = tabrix.Book()
    sheet = book.add_sheet("S")
    for col, setup in [(1, dt.datetime(2024, 3, 5, 14, 30)), (2, "2024-03-05T14:30:00")]:
        cell = sheet.cell(1, col)
        if isinstance(setup, str):
            cell.value = setup  # a text in the document's date-time layout
        else:
            cell.set_value_datetime(setup)
        cell.formula = "NOW()"

    ws = load(render(book), data_only=True).active
    stamp = dt.datetime(2024, 3, 5, 14, 30)
    assert [ws["A1"].value, ws["B1"].value] == [stamp, "2024-03-05T14:30:00"]
    ws = load(render(book.to_dict()), data_only=True).active
    assert [ws["A1"].value, ws["B1"].value] == ["2024-03-05T14:30:00", "2024-03-05T14:30:00"]


@pytest.mark.parametrize("value", [0.1 + 0.2, 1 / 3, 2.0**-1074, 1.7976931348623157e308, -0.0])
def test_numbers_keep_every_digit(value):
    book = tabrix.Book()
    book.add_sheet("S").cell(1, 1).set_value_number(value)
    read = load(render(book)).active["A1"].value
    assert read == value and math.copysign(1, read) == math.copysign(1, value)


@pytest.mark.parametrize("formula", ["", "="])
def test_empty_formula_writes_the_value(formula):
    book = tabrix.Book()
    cell = book.add_sheet("S").cell(1, 1, "7")
    cell.formula = formula
    assert load(render(book)).active["A1"].value == 7


# ---------------------------------------------------------------------------------------------
# Sources, targets, streaming.


def small_book():
    book = tabrix.Book()
    sheet = book.add_sheet("S")
    sheet.cell(1, 1, "a")
    sheet.cell(2, 1, "2")
    return book


class Report(tabrix.Service):
    pass


@pytest.mark.parametrize(
    "make_source",
    [
        small_book,
        lambda: small_book().to_json(),
        lambda: small_book().to_dict(),
        lambda: build_service(),
    ],
    ids=["book", "json", "dict", "service"],
)
def test_sources(make_source, tmp_path):
    path = tmp_path / "out.xlsx"
    xlsx.write(make_source(), path)
    ws = openpyxl.load_workbook(path).active
    assert [ws["A1"].value, ws["A2"].value] == ["a", 2]


def build_service():
    service = Report(None)
    sheet = service._add_sheet("S")
    sheet.cell(1, 1, "a")
    sheet.cell(2, 1, "2")
    return service


def sheet_xml(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return z.read("xl/worksheets/sheet1.xml").decode()


def streamed(data):
    # Streaming writes texts inline; otherwise they go to the shared string table.
    return 't="inlineStr"' in sheet_xml(data)


@pytest.mark.parametrize("hidden_row, expected", [(None, True), (1, True), (3, False)])
def test_automatic_streaming(monkeypatch, hidden_row, expected):
    monkeypatch.setattr(xlsx, "STREAMING_THRESHOLD", 1)
    book = small_book()
    if hidden_row is not None:
        book.sheets[0].set_hidden_row(hidden_row, True)
    data = render(book)
    assert streamed(data) is expected
    assert load(data).active.row_dimensions[3].hidden is (hidden_row == 3)


def test_small_books_do_not_stream():
    assert not streamed(render(small_book()))
    assert streamed(render(small_book(), constant_memory=True))


# ---------------------------------------------------------------------------------------------
# Errors: each names what a spreadsheet cannot hold, and nothing is written.


def base_document():
    book = tabrix.Book()
    sheet = book.add_sheet("Data")
    sheet.cell(1, 1, "x")
    sheet.cell(2, 2, "y")
    book.add_sheet("Other")
    return book.to_dict()


def cell0(doc):
    return doc["sheets"][0]["cells"][0]


def put(target, key, value):
    target[key] = value


ERRORS = [
    ("row 0", lambda d: put(cell0(d), "row", 0), "row 0, column 1"),
    ("column 0", lambda d: put(cell0(d), "column", 0), "row 1, column 0"),
    ("past the last row", lambda d: put(cell0(d), "row", 1_048_577), "row 1048577"),
    ("past the last column", lambda d: put(cell0(d), "column", 16_385), "column 16385"),
    ("unknown style", lambda d: put(cell0(d), "style_id", "nope"), "unknown style id 'nope'"),
    ("name too long", lambda d: put(d["sheets"][0], "name", "x" * 32), "'xxxxx"),
    ("name with a colon", lambda d: put(d["sheets"][0], "name", "a:b"), "'a:b'"),
    ("empty name", lambda d: put(d["sheets"][0], "name", ""), "empty name"),
    ("apostrophe", lambda d: put(d["sheets"][0], "name", "'q"), "\"'q\""),
    ("same name", lambda d: put(d["sheets"][1], "name", "DATA"), "'DATA' repeats 'Data'"),
    ("bad state", lambda d: put(d["sheets"][0], "sheet_state", "gone"), "'gone'"),
    ("all hidden", lambda d: [put(s, "sheet_state", "hidden") for s in d["sheets"]], "visible"),
    ("no sheets", lambda d: put(d, "sheets", []), "visible"),
    (
        "overlapping merges",
        lambda d: put(d["sheets"][0], "merge_cells", [[1, 2, 1, 2], [2, 3, 2, 3]]),
        "B2:C3 overlaps merged range A1:B2",
    ),
    ("merge on row 0", lambda d: put(d["sheets"][0], "merge_cells", [[0, 2, 1, 2]]), "row 0"),
    (
        "two comments on a cell",
        lambda d: put(d["sheets"][0], "comments", [
            {"row": 2, "column": 2, "author": "a", "text": "1"},
            {"row": 2, "column": 2, "author": "b", "text": "2"},
        ]),
        "comment on B2",
    ),
    ("text too long", lambda d: put(cell0(d), "value", "x" * 32_768), "A1"),
    ("text too long in UTF-16", lambda d: put(cell0(d), "value", "😀" * 16_384), "A1"),
    (
        "height too large",
        lambda d: put(d["sheets"][0]["row_dimensions"], "rows",
                      {"4": {"row_num": 4, "height": 410.0, "hidden": False}}),
        "row 4",
    ),
    (
        "negative width",
        lambda d: put(d["sheets"][0]["column_dimensions"], "columns",
                      {"3": {"col_num": 3, "width": -1.0, "hidden": False}}),
        "column 3",
    ),
    ("bad date-time", lambda d: cell0(d).update(value="2024-02-30T00:00:00", data_type="d"), "A1"),
    ("cell twice", lambda d: d["sheets"][0]["cells"].append(copy.deepcopy(cell0(d))), "A1 twice"),
]


@pytest.mark.parametrize("change, message", [e[1:] for e in ERRORS], ids=[e[0] for e in ERRORS])
def test_errors(change, message, tmp_path):
    doc = base_document()
    change(doc)
    path = tmp_path / "out.xlsx"
    with pytest.raises(ValueError) as info:
        xlsx.write(doc, path, styles=STYLES)
    assert message in str(info.value)
    assert not path.exists()


def test_streaming_refuses_a_row_record_without_cells():
    book = small_book()
    book.sheets[0].set_height_row(5, 30)
    with pytest.raises(ValueError, match="row 5"):
        render(book, constant_memory=True)
    assert load(render(book)).active.row_dimensions[5].height == 30


# ---------------------------------------------------------------------------------------------
# LibreOffice: what a spreadsheet program shows of a rendered first sheet.

SOFFICE = shutil.which("soffice") or shutil.which("libreoffice")


def libreoffice_book():
    book = tabrix.Book()
    sheet = book.add_sheet("Shown")
    rows = [
        ['hé "q", x', "12", "-3.25", "true"],
        ["a\x01b", "_x0041_", "FALSE", ""],
        ["2024-03-05 14:30:07", "1899-12-31 00:00:00", "2016-12-31 23:59:60", "x"],
    ]
    for r, row in enumerate(rows, 1):
        for c, text in enumerate(row, 1):
            sheet.cell(r, c, text)
    sheet.cell(4, 1).set_value_number(float("nan"))
    sheet.cell(4, 2).set_value_number(0.5)
    formula = sheet.cell(4, 3, "24")
    formula.formula = "B1*2"
    text_formula = sheet.cell(4, 4, "ab")
    text_formula.formula = '"a"&"b"'
    sheet.add_merge_cells(5, 6, 1, 2)
    sheet.cell(5, 1, "merged")
    sheet.set_hidden_row(2, True)
    book.add_sheet("Second").cell(1, 1, "not in the first sheet's CSV")
    return book


LIBREOFFICE_EXPECTED = [
    ['hé "q", x', "12", "-3.25", "TRUE"],
    ["a\x01b", "_x0041_", "FALSE", ""],
    ["2024-03-05 14:30:07", "1899-12-31 00:00:00", "2016-12-31 23:59:60", "x"],
    ["", "0.5", "24", "ab"],
    ["merged", "", "", ""],
]


@pytest.mark.skipif(SOFFICE is None, reason="LibreOffice (soffice) is not installed")
@pytest.mark.parametrize("streaming", [False, True])
def test_libreoffice_shows_the_values(tmp_path, streaming):
    source = tmp_path / "book.xlsx"
    xlsx.write(libreoffice_book(), source, constant_memory=streaming)
    profile = (tmp_path / "profile").as_uri()
    subprocess.run(
        [SOFFICE, f"-env:UserInstallation={profile}", "--headless", "--convert-to",
         "csv:Text - txt - csv (StarCalc):44,34,76", "--outdir", str(tmp_path), str(source)],
        check=True, capture_output=True, timeout=180,
    )
    with open(tmp_path / "book.csv", encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    assert rows == LIBREOFFICE_EXPECTED
