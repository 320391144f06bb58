"""Sheet: the grid, deletion with shifts, layout, argument conversion and representation."""

import pytest

import tabrix

RANGE = "out of range integral type conversion attempted"


def coords(sheet):
    return [(c.row, c.column, c.value) for c in sheet.cells]


def test_new_sheet(sheet):
    assert (sheet.name, sheet.sheet_state, sheet.max_row, sheet.max_column) == ("Data", "visible", 0, 0)
    assert sheet.cells == [] and sheet.merge_cells == [] and sheet.comments == []
    assert repr(sheet) == "Sheet (Data) cells: 0"
    sheet.cell(5, 3)
    assert (sheet.max_row, sheet.max_column) == (5, 3)
    assert repr(sheet) == "Sheet (Data) cells: 1"


def test_cell_without_value(sheet):
    fresh = sheet.cell(1, 1)
    assert fresh.data_type == "s" and fresh.is_value_empty
    assert sheet.cell(1, 2, "").data_type == "General"
    assert sheet.cell(1, 3, None).data_type == "s"


def test_fetching_a_cell_leaves_it_as_it_is(sheet):
    f = sheet.cell(1, 1, "3")
    f.formula = "SUM(A2:A3)"
    again = sheet.cell(1, 1)
    assert (again.is_formula, again.data_type, again.formula, again.value) == (True, "f", "SUM(A2:A3)", "3")
    n = sheet.cell(1, 2, "12")
    sheet.cell(1, 2, None)
    assert (n.data_type, n.is_value_integer) == ("n", True)


def test_writing_a_value_clears_the_formula(sheet):
    c = sheet.cell(2, 2, "x")
    c.formula = "A1"
    sheet.cell(2, 2, "12")
    assert (c.formula, c.data_type, c.value) == (None, "n", "12")


def test_get_value_cell(sheet):
    sheet.cell(1, 1, "TRUE")
    sheet.cell(1, 2, "")
    assert sheet.get_value_cell(1, 1) == "true"
    assert sheet.get_value_cell(1, 2) == ""
    assert sheet.get_value_cell(9, 9) == ""
    assert sheet.cells[-1].column == 2  # a lookup creates nothing
    assert len(sheet.cells) == 2


def test_cells_are_row_major_whatever_the_order_written(sheet):
    for r, c in [(2, 1), (1, 3), (1, 2), (10, 1), (2, 0), (0, 5)]:
        sheet.cell(r, c, f"{r}-{c}")
    assert [(c.row, c.column) for c in sheet.cells] == [(0, 5), (1, 2), (1, 3), (2, 0), (2, 1), (10, 1)]
    sheet.cell(1, 1, "new")
    assert [(c.row, c.column) for c in sheet.cells][:2] == [(0, 5), (1, 1)]


def test_delete_rows_shifts_and_keeps_records(sheet):
    cells = {r: sheet.cell(r, 1, f"r{r}") for r in range(1, 6)}
    sheet.add_merge_cells(4, 5, 1, 2)
    sheet.add_comment(4, 1, "note", "me")
    sheet.set_height_row(4, 33)
    sheet.delete_rows(2, 2)
    assert coords(sheet) == [(1, 1, "r1"), (2, 1, "r4"), (3, 1, "r5")]
    assert sheet.max_row == 3
    assert (cells[4].row, cells[5].row) == (2, 3)  # the same records, moved
    assert cells[2].value == "r2" and cells[2].row == 2  # removed, still readable
    cells[2].value = "gone"
    assert sheet.get_value_cell(2, 1) == "r4"
    sheet.cell(2, 1).value = "via sheet"
    assert cells[4].value == "via sheet"
    # layout stays where it was
    assert sheet.merge_cells == [(4, 5, 1, 2)]
    assert sheet.comments[0].coordinate == (4, 1)
    assert sheet.get_height_by_row(4) == 33.0


@pytest.mark.parametrize(
    ("op", "args", "left"),
    [
        ("delete_rows", (2, 0), [(1, 1), (2, 2), (3, 3), (65000, 65000)]),
        ("delete_cols", (2, 0), [(1, 1), (2, 2), (3, 3), (65000, 65000)]),
        ("delete_cols", (65000, 1000), [(1, 1), (2, 2), (3, 3)]),
        ("delete_rows", (3, 4294967295), [(1, 1), (2, 2)]),
        ("delete_cols", (1, 1), [(2, 1), (3, 2), (65000, 64999)]),
        ("delete_rows", (0, 1), [(0, 1), (1, 2), (2, 3), (64999, 65000)]),
        ("delete_rows", (2, 1), [(1, 1), (2, 3), (64999, 65000)]),
    ],
)
def test_delete_bands(sheet, op, args, left):
    for r, c in [(1, 1), (2, 2), (3, 3), (65000, 65000)]:
        sheet.cell(r, c, "x")
    getattr(sheet, op)(*args)
    assert [(c.row, c.column) for c in sheet.cells] == left


def test_copy_then_delete_keeps_both_tables_true(book):
    src = book.add_sheet("src")
    for r in range(1, 6):
        src.cell(r, 1, f"r{r}")
    held_from_src = src.cell(4, 1)
    copy = book.copy_sheet(src)
    held_from_copy = copy.cell(5, 1)
    copy.delete_rows(2, 2)
    assert coords(copy) == [(1, 1, "r1"), (2, 1, "r4"), (3, 1, "r5")]
    assert coords(src) == [(r, 1, f"r{r}") for r in range(1, 6)]
    # every record sits under the coordinate it carries, in both sheets
    for s in (src, copy):
        for c in s.cells:
            assert s.cell(c.row, c.column).value == c.value
    # handles taken before the deletion still see the records the source files
    assert (held_from_src.row, held_from_copy.row) == (4, 5)
    held_from_src.value = "changed"
    assert src.get_value_cell(4, 1) == "changed"
    assert copy.get_value_cell(2, 1) == "r4"
    # unshifted shared records are still one record
    copy.cell(1, 1).value = "both"
    assert src.get_value_cell(1, 1) == "both"
    # and the source can delete too without disturbing the copy
    src.delete_cols(1, 1)
    assert src.cells == []
    assert [c.value for c in copy.cells] == ["both", "r4", "r5"]


def test_layout_defaults_and_records(sheet):
    assert (sheet.get_height_by_row(4), sheet.get_width_by_column(4)) == (20.0, 22.5)
    assert (sheet.get_hidden_by_row(4), sheet.get_hidden_by_column(4)) == (False, False)
    sheet.set_hidden_row(4, True)
    assert (sheet.get_height_by_row(4), sheet.get_hidden_by_row(4)) == (20.0, True)
    sheet.set_height_row(4, 35)
    assert (sheet.get_height_by_row(4), sheet.get_hidden_by_row(4)) == (35.0, True)
    sheet.set_height_row(5, 35)
    assert sheet.get_hidden_by_row(5) is False
    sheet.set_width_column(2, float("nan"))
    sheet.set_hidden_column(3, True)
    assert sheet.get_width_by_column(3) == 22.5 and sheet.get_hidden_by_column(3) is True
    assert sheet.get_width_by_column(2) != sheet.get_width_by_column(2)  # NaN stored as is


def test_merges_comments_and_state(sheet):
    sheet.add_merge_cells(5, 2, 1, 3)
    sheet.add_merge_cells(5, 2, 1, 3)
    assert sheet.merge_cells == [(5, 2, 1, 3), (5, 2, 1, 3)]
    sheet.add_comment(1, 1, "a", "x")
    sheet.add_comment(1, 1, "b", "y")
    assert [(c.text, c.author) for c in sheet.comments] == [("a", "x"), ("b", "y")]
    for state in ["", "hidden", "veryHidden", "anything"]:
        sheet.set_sheet_state(state)
        assert sheet.sheet_state == state
    with pytest.raises(AttributeError):
        sheet.sheet_state = "hidden"


def test_name(sheet):
    sheet.name = "Отчёт"
    assert sheet.name == "Отчёт" and repr(sheet) == "Sheet (Отчёт) cells: 0"
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del sheet.name
    with pytest.raises(TypeError, match="^argument 'name': 'int' object cannot be converted to 'str'$"):
        sheet.name = 1


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda s: s.cell(-1, 1), OverflowError, RANGE),
        (lambda s: s.cell(1, 70000), OverflowError, RANGE),
        (lambda s: s.cell(1.0, 1), TypeError, "argument 'row': 'float' object cannot be interpreted as an integer"),
        (lambda s: s.cell(1, 1, 12), TypeError, "argument 'value': 'int' object cannot be converted to 'str'"),
        (lambda s: s.set_hidden_row(1, 1), TypeError, "argument 'val': 'int' object cannot be converted to 'bool'"),
        (lambda s: s.set_height_row(1, "1"), TypeError, "argument 'val': must be real number, not str"),
        (lambda s: s.add_merge_cells(1, 2, 1, 65536), OverflowError, RANGE),
        (lambda s: s.add_comment(1, 1, None, "a"), TypeError, "argument 'text': 'NoneType' object cannot be converted to 'str'"),
        (lambda s: s.delete_cols(1, 65536), OverflowError, RANGE),
        (lambda s: s.delete_rows(-1, 1), OverflowError, RANGE),
        (lambda s: s.set_sheet_state(None), TypeError, "argument 'state': 'NoneType' object cannot be converted to 'str'"),
        (lambda s: s.get_value_cell(1), TypeError, None),
        (lambda s: s.cell(1, 1, value="x", extra=1), TypeError, None),
    ],
)
def test_argument_errors_change_nothing(sheet, call, exc, message):
    sheet.cell(1, 1, "keep")
    before = (coords(sheet), sheet.merge_cells, len(sheet.comments), sheet.sheet_state)
    with pytest.raises(exc) as info:
        call(sheet)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert (coords(sheet), sheet.merge_cells, len(sheet.comments), sheet.sheet_state) == before


def test_keyword_arguments(sheet):
    c = sheet.cell(col=2, row=3, value="v")
    assert (c.row, c.column, c.value) == (3, 2, "v")
    sheet.set_width_column(col_num=2, val=10)
    assert sheet.get_width_by_column(col_num=2) == 10.0


def test_signatures():
    assert tabrix.Sheet.cell.__text_signature__ == "($self, row, col, value=None)"
    assert tabrix.Sheet.add_merge_cells.__text_signature__ == "($self, start_row, end_row, start_col, end_col)"
    assert tabrix.Sheet.cell.__doc__ is None
    with pytest.raises(TypeError, match="^No constructor defined for Sheet$"):
        tabrix.Sheet()
