"""Book and Service: sheet lists, copies, lookups, hooks, representations, errors."""

import json

import pytest

import tabrix

RANGE = "out of range integral type conversion attempted"


def test_new_book():
    b = tabrix.Book()
    assert b.sheets == [] and repr(b) == "Book, sheets: 0"
    assert b.get_sheet_index(0) is None
    assert b.to_json() == '{"sheets":[]}'
    with pytest.raises(TypeError):
        tabrix.Book(1)


def test_sheet_list_and_lookups(book):
    a1, b, a2 = (book.add_sheet(n) for n in ("A", "B", "A"))
    assert [s.name for s in book.sheets] == ["A", "B", "A"]
    a1.cell(1, 1, "first")
    assert book.get_sheet_name("A").get_value_cell(1, 1) == "first"
    assert book.get_sheet_name("a") is None
    assert book.get_sheet_name("A ") is None
    assert book.get_sheet_name("") is None
    book.add_sheet("")
    assert book.get_sheet_name("") is not None
    for idx in (-1, 4, 2**31 - 1, -(2**31)):
        assert book.get_sheet_index(idx) is None
    x, y = book.get_sheet_index(0), book.get_sheet_index(0)
    assert x is not y and x != y
    x.cell(2, 2, "seen")
    assert y.get_value_cell(2, 2) == "seen" and book.sheets[0].get_value_cell(2, 2) == "seen"
    assert '"value":"seen"' in book.to_json()
    assert repr(book) == "Book, sheets: 4"


def test_add_sheet_state(book):
    assert book.add_sheet("A").sheet_state == "visible"
    assert book.add_sheet("B", "hidden").sheet_state == "hidden"
    assert book.add_sheet(name="C", sheet_state="veryHidden").sheet_state == "veryHidden"
    with pytest.raises(TypeError, match="^argument 'sheet_state': "):
        book.add_sheet("D", None)
    with pytest.raises(TypeError, match="^argument 'name': "):
        book.add_sheet(None)
    assert len(book.sheets) == 3


def test_copy_sheet_names_and_sharing(book):
    book.add_sheet("One")
    second = book.add_sheet("Two")
    second.cell(1, 1, "shared")
    second.add_merge_cells(1, 1, 1, 2)
    second.set_height_row(1, 40)
    second.add_comment(1, 1, "c", "a")
    copy3 = book.copy_sheet(second)
    assert copy3.name == "Sheet 3" and book.sheets[2].name == "Sheet 3"
    book.add_sheet("x").name = "Sheet 5"
    assert book.copy_sheet(second).name == "Sheet 5"
    # cells and comments are shared records; containers and layout are not
    copy3.cell(1, 1).value = "through copy"
    assert second.get_value_cell(1, 1) == "through copy"
    copy3.comments[0].text = "edited"
    assert second.comments[0].text == "edited"
    copy3.cell(9, 9, "only in copy")
    assert second.get_value_cell(9, 9) == "" and len(second.cells) == 1
    copy3.name = "Renamed"
    copy3.set_sheet_state("hidden")
    copy3.add_merge_cells(5, 5, 5, 5)
    copy3.set_height_row(1, 10)
    copy3.add_comment(2, 2, "new", "a")
    assert (second.name, second.sheet_state, second.merge_cells) == ("Two", "visible", [(1, 1, 1, 2)])
    assert second.get_height_by_row(1) == 40.0 and len(second.comments) == 1


def test_copy_from_another_book_and_service():
    a, b = tabrix.Book(), tabrix.Book()
    src = a.add_sheet("src")
    src.cell(1, 1, "v")
    assert b.copy_sheet(src).name == "Sheet 1"
    svc = tabrix.Service(None)
    assert svc._copy_sheet(sheet=src).name == "Sheet 1"
    assert b.copy_sheet(svc._sheets[0]).name == "Sheet 2"
    assert len(a.sheets) == 1
    with pytest.raises(TypeError, match="^argument 'sheet': 'Book' object cannot be converted to 'Sheet'$"):
        b.copy_sheet(a)


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda b: b.get_sheet_index(2**31), OverflowError, RANGE),
        (lambda b: b.get_sheet_index(-(2**31) - 1), OverflowError, RANGE),
        (lambda b: b.get_sheet_index("0"), TypeError, "argument 'idx': 'str' object cannot be interpreted as an integer"),
        (lambda b: b.get_sheet_name(0), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
        (lambda b: b.add_sheet(), TypeError, None),
        (lambda b: b.to_json(1), TypeError, None),
    ],
)
def test_book_argument_errors(book, call, exc, message):
    book.add_sheet("A")
    with pytest.raises(exc) as info:
        call(book)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message
    assert [s.name for s in book.sheets] == ["A"]


def test_to_dict_equals_loads_of_to_json(book):
    s = book.add_sheet("S")
    s.cell(1, 1, "1.5")
    assert book.to_dict() == json.loads(book.to_json())


def test_service_basics():
    conn = object()
    svc = tabrix.Service(conn)
    assert svc._conn_db is conn and svc._sheets == [] and repr(svc) == "Service, sheets: 0"
    assert tabrix.Service(None)._conn_db is None
    assert tabrix.Service(conn_db=5)._conn_db == 5
    with pytest.raises(TypeError):
        tabrix.Service()
    s = svc._add_sheet("Report")
    s.cell(1, 1, "x")
    assert svc._get_sheet_index(0).name == "Report" and svc._get_sheet_name("Report") is not None
    assert repr(svc) == "Service, sheets: 1"
    assert json.loads(svc.to_json())["sheets"][0]["name"] == "Report"
    assert svc.to_dict() == json.loads(svc.to_json())
    other = tabrix.Service(None)
    assert other._sheets == [] and tabrix.Book().sheets == []


@pytest.mark.parametrize(
    ("call", "exc", "message"),
    [
        (lambda s: s.summary_0([]), NotImplementedError, "Method 'summary_0' is not implemented"),
        (lambda s: s.summary_0([], anything=1), NotImplementedError, "Method 'summary_0' is not implemented"),
        (lambda s: s.summary_0(type("L", (list,), {})()), NotImplementedError, "Method 'summary_0' is not implemented"),
        (lambda s: s._fmt_0(), NotImplementedError, "Method 'fmt_0' is not implemented"),
        (lambda s: s._fmt_0(a=1, b=2), NotImplementedError, "Method 'fmt_0' is not implemented"),
        (lambda s: s.summary_0(sheets=[]), TypeError, None),
        (lambda s: s.summary_0(()), TypeError, "argument 'sheets': 'tuple' object cannot be converted to 'list'"),
        (lambda s: s._fmt_0(1), TypeError, None),
        (lambda s: s._add_sheet("x", None), TypeError, None),
    ],
)
def test_service_hooks_and_errors(call, exc, message):
    svc = tabrix.Service(None)
    with pytest.raises(exc) as info:
        call(svc)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message
    assert svc._sheets == []


def test_service_subclass():
    class Report(tabrix.Service):
        def __init__(self, conn, title):
            self.title = title

        def __new__(cls, conn, title):
            return super().__new__(cls, conn)

        def summary_0(self, sheets, /, **kwargs):
            return ("summary", len(sheets), kwargs)

        def _fmt_0(self, **kwargs):
            return "fmt"

    r = Report("db", "Q3")
    assert (r._conn_db, r.title) == ("db", "Q3")
    assert r.summary_0([1, 2], x=1) == ("summary", 2, {"x": 1})
    assert r._fmt_0() == "fmt"
    r._add_sheet("A")
    assert repr(r) == "test_service_subclass.<locals>.Report, sheets: 1"


def test_service_reference_cycle_is_collected():
    import gc
    import weakref

    class Svc(tabrix.Service):
        pass

    svc = Svc(None)
    svc.me = svc
    probe = weakref.ref(svc)
    del svc
    gc.collect()
    assert probe() is None


def test_signatures():
    assert tabrix.Book.add_sheet.__text_signature__ == '($self, name, sheet_state="visible")'
    assert tabrix.Service.summary_0.__text_signature__ == "($self, sheets, /, **kwargs)"
    assert tabrix.Service._fmt_0.__text_signature__ == "($self, **kwargs)"
    assert tabrix.Book.to_json.__text_signature__ == "($self)"
