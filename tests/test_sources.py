"""openpyxl workbooks turned into Finder input: values of every kind, formulas, merges, states."""

import datetime as dt
import io
import random
import re
import zipfile
from decimal import Decimal

import pytest

openpyxl = pytest.importorskip("openpyxl")
import openpyxl.chart  # noqa: E402
from openpyxl.worksheet.formula import ArrayFormula, DataTableFormula  # noqa: E402
xlsxwriter = pytest.importorskip("xlsxwriter")

import tabrix.readable  # noqa: E402
import tabrix.sources  # noqa: E402
from tabrix.sources import from_openpyxl  # noqa: E402

PLUS_ONE = dt.timezone(dt.timedelta(hours=1))


def shown(value):
    """The text a snapshot shows for a value openpyxl holds (computed without tabrix)."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        text = format(Decimal(repr(value)), "f")
        return text.rstrip("0").rstrip(".") if "." in text else text
    if isinstance(value, dt.datetime):
        return value.strftime("%Y-%m-%d %H:%M:%S") + fraction(value.microsecond)
    if isinstance(value, dt.time):
        return value.strftime("%H:%M:%S") + fraction(value.microsecond)
    if isinstance(value, dt.timedelta):
        seconds = int(value.total_seconds())
        return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"
    return str(value)


def fraction(microsecond):
    if not microsecond:
        return ""
    return f".{microsecond // 1000:03d}" if microsecond % 1000 == 0 else f".{microsecond:06d}"


def finder_of(workbook, **kw):
    return tabrix.readable.Finder(from_openpyxl(workbook, **kw))


def snapshot(finder):
    """{(sheet, row, column): (display text, data_type)} of every snapshot cell."""
    return {
        (sheet.name, cell.row, cell.column): (cell.value, cell.data_type)
        for sheet in finder.sheets
        for cell in sheet.cells
    }


# value, display text, data_type, the kind the snapshot reads it as
KINDS = [
    ("hello", "hello", "s", "text"),
    ("0012", "0012", "s", "text"),
    ("TRUE", "TRUE", "s", "text"),
    ("2024-01-05 10:00:00", "2024-01-05 10:00:00", "s", "text"),
    ("  padded\t", "  padded\t", "s", "text"),
    ("", "", "s", "text"),
    (42, "42", "n", "integer"),
    (-7, "-7", "n", "integer"),
    (2**31, "2147483648", "n", "number"),
    (2**53, "9007199254740992", "n", "number"),
    (2**53 + 1, "9007199254740993", "s", "text"),
    (1.5, "1.5", "n", "number"),
    (3.0, "3", "n", "number"),
    (1e-07, "0.0000001", "n", "number"),
    (1e16, "10000000000000000", "n", "number"),
    (0.1 + 0.2, "0.30000000000000004", "n", "number"),
    (-0.0, "-0", "n", "number"),
    (Decimal("1.10"), "1.1", "n", "number"),
    (True, "true", "b", "bool"),
    (False, "false", "b", "bool"),
    (dt.datetime(2024, 3, 5, 7, 8, 9), "2024-03-05 07:08:09", "d", "datetime"),
    (dt.datetime(1900, 1, 1), "1900-01-01 00:00:00", "d", "datetime"),
    (dt.date(2024, 2, 29), "2024-02-29 00:00:00", "d", "datetime"),
    (dt.datetime(2024, 3, 5, 7, 8, 9, 250000), "2024-03-05 07:08:09.250", "d", "text"),
    (dt.datetime(2024, 3, 5, 7, 8, 9, 123456), "2024-03-05 07:08:09.123456", "d", "text"),
    (dt.datetime(2024, 3, 5, 7, 8, 9, tzinfo=PLUS_ONE), "2024-03-05 07:08:09+01:00", "d", "text"),
    (dt.time(7, 8, 9), "07:08:09", "s", "text"),
    (dt.time(7, 8, 9, 500000), "07:08:09.500", "s", "text"),
    (dt.timedelta(days=1, hours=2, seconds=3), "26:00:03", "s", "text"),
    (-dt.timedelta(minutes=90), "-1:30:00", "s", "text"),
    ("#DIV/0!", "#DIV/0!", "e", "text"),
]


def kind_of(cell):
    flags = {
        "integer": cell.is_value_integer,
        "number": cell.is_value_numeric,
        "bool": cell.is_value_bool,
        "datetime": cell.is_value_datetime,
        "empty": cell.is_value_empty,
    }
    found = [name for name, on in flags.items() if on]
    return found[0] if found else "text"


@pytest.fixture(scope="module")
def kinds_finder():
    wb = openpyxl.Workbook()
    ws = wb.active
    for row, (value, *_rest) in enumerate(KINDS, 1):
        ws.cell(row, 1, value)
    return finder_of(wb)


@pytest.mark.parametrize(
    ("row", "case"), list(enumerate(KINDS, 1)), ids=[repr(k[0]) for k in KINDS]
)
def test_each_kind_of_value_reads_back_as_its_text_type_and_kind(kinds_finder, row, case):
    value, text, data_type, kind = case
    cell = kinds_finder.sheets[0].find_cell_by_coords(row, 1)
    assert (cell.value, cell.data_type, kind_of(cell)) == (text, data_type, kind)
    assert not cell.is_formula and cell.formula is None


def test_integer_beyond_double_precision_is_found_by_its_exact_digits(kinds_finder):
    sheet = kinds_finder.sheets[0]
    assert [c.row for c in sheet.find_cells_by_str("9007199254740993")] == [11]


def test_values_without_data_and_covered_merge_cells_are_left_out():
    wb = openpyxl.Workbook()
    ws = wb.active
    ws["A1"] = "top"
    ws["C3"].font = openpyxl.styles.Font(bold=True)  # a cell that exists but holds nothing
    ws.merge_cells("A1:B2")
    (sheet,) = from_openpyxl(wb)
    assert [(c["row"], c["column"]) for c in sheet.cells] == [(1, 1)]
    assert sheet.merge_cells == [(1, 2, 1, 2)]
    assert len(ws._cells) > 1  # openpyxl itself holds the styled and the covered cells


# --- a generated workbook, saved and loaded back --------------------------------------------


WORDS = ["Total", "total ", "x.5", "0012", "a\tb", "line\nbreak", "TRUE", "Ünïcödé", "a.c"]


def random_value(rng):
    pick = rng.randrange(9)
    if pick == 0:
        return rng.choice(WORDS)
    if pick == 1:
        return rng.randrange(-10**6, 10**6)
    if pick == 2:
        return rng.randrange(-10**12, 10**12) / 8
    if pick == 3:
        return rng.random() * 10 ** rng.randrange(-9, 18)
    if pick == 4:
        return rng.random() < 0.5
    if pick == 5:
        return dt.datetime(2000, 1, 1) + dt.timedelta(seconds=rng.randrange(10**9))
    if pick == 6:
        return dt.datetime(2020, 1, 1, 1, 2, 3, rng.choice([250000, 1000, 999000]))
    if pick == 7:
        return dt.time(rng.randrange(24), rng.randrange(60), rng.randrange(60))
    return rng.choice(["#N/A", "#DIV/0!", "#VALUE!"])


@pytest.fixture(scope="module")
def generated(tmp_path_factory):
    """A saved workbook: three worksheets in three states, merges, mixed values, a chart sheet."""
    rng = random.Random(20240305)
    wb = openpyxl.Workbook()
    data = wb.active
    data.title = "Data"
    hidden = wb.create_sheet("Hidden")
    hidden.sheet_state = "hidden"
    notes = wb.create_sheet("Notes 2024")
    notes.sheet_state = "veryHidden"
    chart = openpyxl.chart.BarChart()
    chart.add_data(openpyxl.chart.Reference(data, min_col=1, min_row=1, max_row=3))
    wb.create_chartsheet("Chart").add_chart(chart)
    for ws, rows in ((data, 60), (hidden, 30), (notes, 10)):
        for row in range(1, rows + 1):
            for col in range(1, 9):
                if rng.random() < 0.7:
                    ws.cell(row, col, random_value(rng))
    data.cell(70, 30, "far away")
    hidden.merge_cells("B2:D3")  # clears the covered cells
    hidden.merge_cells("A10:A12")
    path = tmp_path_factory.mktemp("sources") / "generated.xlsx"
    wb.save(path)
    return path


@pytest.fixture(scope="module")
def expected(generated):
    return plain_loop(generated)


def plain_loop(path):
    """{(sheet, row, column): display text} from openpyxl alone."""
    wb = openpyxl.load_workbook(path)
    return {
        (ws.title, cell.row, cell.column): shown(cell.value)
        for ws in wb.worksheets
        for row in ws.iter_rows()
        for cell in row
        if cell.value is not None
    }


LOADS = ["normal", "read_only", "read_only_public_api"]


@pytest.fixture(params=LOADS)
def loaded(request, generated, monkeypatch):
    if request.param == "read_only_public_api":
        # Without openpyxl's sheet parser the read-only path falls back to iter_rows.
        monkeypatch.setattr(tabrix.sources, "_parser_of", lambda ws: None)
    wb = openpyxl.load_workbook(generated, read_only=request.param != "normal")
    yield request.param, finder_of(wb)
    if request.param != "normal":
        wb.close()


def test_every_cell_reads_as_openpyxl_holds_it(loaded, expected):
    _mode, finder = loaded
    texts = {key: text for key, (text, _type) in snapshot(finder).items()}
    assert texts == expected


def test_sheet_names_states_and_merges(loaded):
    mode, finder = loaded
    got = [(s.name, s.sheet_state, s.merge_cells) for s in finder.sheets]
    merges = [] if mode == "read_only_public_api" else [(2, 3, 2, 4), (10, 12, 1, 1)]
    assert got == [
        ("Data", "visible", []),
        ("Hidden", "hidden", merges),
        ("Notes 2024", "veryHidden", []),
    ]


PATTERNS = ["Total", "total", ".5", "a.c", "0012", "12", "true", "2020-01-01", ":0", "\t", "Ü", ""]


@pytest.mark.parametrize("pattern", PATTERNS)
def test_searches_find_what_a_plain_loop_finds(loaded, expected, pattern):
    _mode, finder = loaded
    for sheet in finder.sheets:
        own = sorted((r, c, t) for (name, r, c), t in expected.items() if name == sheet.name)
        contains = [(c.row, c.column) for c in sheet.find_cells_by_regex(pattern)]
        assert contains == [(r, c) for r, c, t in own if pattern in t]
        equal = [(c.row, c.column) for c in sheet.find_cells_by_str(pattern)]
        assert equal == [(r, c) for r, c, t in own if t.strip() == pattern.strip()]


def test_a_wrong_dimension_record_does_not_hide_cells(generated, expected, tmp_path):
    # Some writers record a too-small used range; openpyxl's read-only iter_rows trusts it.
    damaged = tmp_path / "dimension.xlsx"
    with zipfile.ZipFile(generated) as src, zipfile.ZipFile(damaged, "w") as dst:
        for item in src.infolist():
            data = src.read(item)
            if item.filename == "xl/worksheets/sheet1.xml":
                data, n = re.subn(rb'<dimension ref="[^"]*" ?/>', b'<dimension ref="A1:B2"/>', data)
                assert n == 1
            dst.writestr(item, data)
    wb = openpyxl.load_workbook(damaged, read_only=True)
    assert wb["Data"].max_row == 2
    cells = snapshot(finder_of(wb, sheets=["Data"]))
    wb.close()
    assert ("Data", 70, 30) in cells
    assert len(cells) == sum(1 for key in expected if key[0] == "Data")


# --- formulas -------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def formulas(tmp_path_factory):
    """A file with formulas and their cached results, as a spreadsheet program saves them."""
    path = tmp_path_factory.mktemp("formulas") / "formulas.xlsx"
    book = xlsxwriter.Workbook(str(path))
    ws = book.add_worksheet("F")
    ws.write_column("A1", [1, 2, 3])
    ws.write_formula("A4", "=SUM(A1:A3)", None, 6)
    ws.write_formula("B1", '="00"&A1', None, "001")
    ws.write_formula("B2", "=A1>0", None, True)
    ws.write_formula("B3", "=1/0", None, "#DIV/0!")
    ws.write_array_formula("C1:C1", "{=SUM(A1:A3*2)}", None, 12)
    book.close()
    return path


FORMULA_CELLS = {
    # coordinate: formula text, display text of the cached value
    (4, 1): ("=SUM(A1:A3)", "6"),
    (1, 2): ('="00"&A1', "1"),  # the cached text '001' is read as a number: data_type stays 'f'
    (2, 2): ("=A1>0", "true"),
    (3, 2): ("=1/0", "#DIV/0!"),
    (1, 3): ("=SUM(A1:A3*2)", "12"),
}


@pytest.mark.parametrize("read_only", [False, True], ids=["normal", "read_only"])
@pytest.mark.parametrize("cached", [False, True], ids=["formulas_only", "with_cached_values"])
def test_formula_cells_keep_their_formula_and_optionally_the_cached_value(
    formulas, read_only, cached
):
    wb = openpyxl.load_workbook(formulas, read_only=read_only)
    values = None
    if cached:
        values = openpyxl.load_workbook(formulas, read_only=read_only, data_only=True)
    sheet = finder_of(wb, cached_values=values).sheets[0]
    for (row, col), (formula, text) in FORMULA_CELLS.items():
        cell = sheet.find_cell_by_coords(row, col)
        assert (cell.formula, cell.data_type, cell.is_formula) == (formula, "f", True)
        assert cell.value == (text if cached else "")
        assert cell.is_value_empty is not cached
    assert sheet.find_cell_by_coords(1, 1).formula is None


def test_cached_values_must_come_from_a_data_only_load(formulas):
    wb = openpyxl.load_workbook(formulas)
    with pytest.raises(ValueError, match="data_only=True"):
        from_openpyxl(wb, cached_values=openpyxl.load_workbook(formulas))


@pytest.mark.parametrize(
    ("formula", "text"),
    [
        (ArrayFormula("A1:A2", "=SUM(B1:B2*2)"), "=SUM(B1:B2*2)"),
        (DataTableFormula("A1:A4", r1="B1", dtr=True), "=TABLE(B1,)"),
        (DataTableFormula("A1:A4", r1="B1"), "=TABLE(,B1)"),
        (DataTableFormula("A1:A4", r1="B1", r2="C1", dt2D=True), "=TABLE(B1,C1)"),
    ],
    ids=["array", "row_input", "column_input", "two_inputs"],
)
def test_formula_objects_give_their_formula_text(formula, text):
    wb = openpyxl.Workbook()
    wb.active["A1"] = formula
    cell = finder_of(wb).sheets[0].find_cell_by_coords(1, 1)
    assert (cell.formula, cell.is_formula, cell.is_value_empty) == (text, True, True)


def test_data_only_load_finds_formula_cells_by_their_cached_values(formulas):
    wb = openpyxl.load_workbook(formulas, read_only=True, data_only=True)
    sheet = finder_of(wb).sheets[0]
    assert [c.letter for c in sheet.find_cells_by_str("6")] == ["A4"]
    assert [c.letter for c in sheet.find_cells_by_regex("DIV")] == ["B3"]
    assert sheet.find_cell_by_coords(1, 2).value == "001"  # a cached text stays text here


# --- selection of sheets --------------------------------------------------------------------


def test_named_sheets_come_in_the_order_given(generated):
    wb = openpyxl.load_workbook(generated, read_only=True)
    got = [s.name for s in from_openpyxl(wb, sheets=["Notes 2024", "Data"])]
    wb.close()
    assert got == ["Notes 2024", "Data"]


@pytest.mark.parametrize(
    ("sheets", "error"),
    [("Data", TypeError), (["Missing"], KeyError), (["Chart"], ValueError)],
)
def test_bad_sheet_selection_is_refused(generated, sheets, error):
    wb = openpyxl.load_workbook(generated)
    with pytest.raises(error):
        from_openpyxl(wb, sheets=sheets)


def test_a_write_only_workbook_is_refused_rather_than_read_as_empty():
    wb = openpyxl.Workbook(write_only=True)
    wb.create_sheet("W").append(["lost"])
    with pytest.raises(TypeError, match="write-only"):
        from_openpyxl(wb)
    wb.save(io.BytesIO())  # closes openpyxl's row writer
