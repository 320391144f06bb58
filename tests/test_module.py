"""Module registration: names and their order, identities, classes, re-import, sub-interpreters."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import _tabrix
import tabrix

MODULE_ALL = [
    "__version__", "Service", "Book", "Sheet", "Cell", "Comment", "version",
    "column_number_to_letter", "get_letter_coordinate", "DEFAULT_ROW_HEIGHT",
    "DEFAULT_COLUMN_WIDTH", "readable",
]
READABLE_ALL = [
    "Finder", "ReadableSheet", "ReadableCell", "create_finder", "find_cell_by_coords",
    "find_value_by_coords", "find_cell_by_regex", "find_cell_by_str", "find_cell_by_letter",
    "find_cells_by_regex", "find_cells_by_str", "find_cells_for_rows_by_regex",
    "find_cells_for_cols_by_regex", "find_cells_multi_regex", "find_cells_between_regex",
    "find_cells_range_rows", "find_cells_range_cols", "find_values_by_col_rows",
    "find_values_by_row_cols",
]


def test_module_all_in_registration_order():
    assert _tabrix.__all__ == MODULE_ALL
    assert all(hasattr(_tabrix, name) for name in MODULE_ALL)
    assert _tabrix.__doc__ == ""


def test_readable_all_keeps_registration_order():
    names = _tabrix.readable.__all__
    # The read side registers its names in this order as they are built.
    assert names == [n for n in READABLE_ALL if n in names]
    assert all(hasattr(_tabrix.readable, n) for n in names)
    assert _tabrix.readable.__name__ == "readable"
    assert _tabrix.readable.__doc__ is None


def test_submodule_identity():
    import tabrix.readable

    assert sys.modules["tabrix.readable"] is _tabrix.readable
    assert tabrix.readable is _tabrix.readable


def test_package_reexports_every_name():
    assert tabrix.__all__ == _tabrix.__all__
    for name in MODULE_ALL:
        assert getattr(tabrix, name) is getattr(_tabrix, name)


def test_version_and_constants():
    assert _tabrix.__version__ == "0.9.1"
    assert _tabrix.version() == "0.9.1"
    assert type(_tabrix.DEFAULT_ROW_HEIGHT) is float and _tabrix.DEFAULT_ROW_HEIGHT == 20.0
    assert type(_tabrix.DEFAULT_COLUMN_WIDTH) is float and _tabrix.DEFAULT_COLUMN_WIDTH == 22.5
    with pytest.raises(TypeError):
        _tabrix.version(1)
    with pytest.raises(TypeError):
        _tabrix.version(x=1)


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        (
            "version",
            "()",
            "Returns the version of the underlying corvane library.\n\nReturns\n-------\n"
            "version : str\n  The version of the underlying corvane library.\n",
        ),
        ("column_number_to_letter", "(col)", "Преобразование номера колонки в букву."),
        ("get_letter_coordinate", "(row, col)", "Преобразование номера колонки в координату."),
    ],
)
def test_module_function_records(name, signature, doc):
    fn = getattr(_tabrix, name)
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "_tabrix"


@pytest.mark.parametrize(
    ("cls", "module", "signature"),
    [
        ("Service", "tabrix", "(conn_db)"),
        ("Book", "tabrix", "()"),
        ("Sheet", "tabrix", None),
        ("Cell", "tabrix", None),
        ("Comment", "tabrix", None),
        ("ReadableSheet", "tabrix.readable", None),
        ("ReadableCell", "tabrix.readable", None),
    ],
)
def test_class_identity(cls, module, signature):
    t = getattr(_tabrix, cls, None) or getattr(_tabrix.readable, cls)
    assert t.__name__ == cls
    assert t.__module__ == module
    assert repr(t) == f"<class '{module}.{cls}'>"
    assert t.__text_signature__ == signature
    assert not t.__doc__


@pytest.mark.parametrize("cls", ["Sheet", "Cell", "Comment", "ReadableSheet", "ReadableCell"])
def test_classes_without_constructor(cls):
    t = getattr(_tabrix, cls, None) or getattr(_tabrix.readable, cls)
    with pytest.raises(TypeError) as info:
        t()
    assert str(info.value) == f"No constructor defined for {cls}"


@pytest.mark.parametrize("cls", ["Book", "Sheet", "Cell", "Comment", "ReadableSheet", "ReadableCell"])
def test_only_service_is_a_base_type(cls):
    base = getattr(_tabrix, cls, None) or getattr(_tabrix.readable, cls)
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (base,), {})


def test_service_subclass_is_instantiable():
    class Report(_tabrix.Service):
        pass

    conn = object()
    r = Report(conn)
    r.extra = 1
    assert r._conn_db is conn and r.extra == 1


def test_classes_are_immutable():
    with pytest.raises(TypeError):
        _tabrix.Book.extra = 1


def test_reimport_gives_the_same_module():
    before = _tabrix
    del sys.modules["_tabrix"]
    again = importlib.import_module("_tabrix")
    assert again is before
    assert importlib.reload(before) is before
    assert sys.modules["tabrix.readable"] is before.readable


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    # A legacy sub-interpreter shares the process and runs the module's entry point.
    iid = interpreters.create(interpreters.new_config("legacy"))
    try:
        err = interpreters.exec(iid, "import _tabrix")
    finally:
        interpreters.destroy(iid)
    assert err is not None
    assert err.type.__name__ == "ImportError"
    assert "sub-interpreters" in err.msg


def test_class_creation_failure_is_reported_with_its_cause():
    from tabrix import _testing

    for _ in range(2):  # a failed class is attempted again, and fails the same way
        with pytest.raises(RuntimeError) as info:
            _testing.broken_class()
        assert str(info.value) == "An error occurred while initializing class Broken"
        assert info.value.__cause__ is not None


def test_panic_exception(capfd):
    from tabrix import _testing

    caught = []
    for _ in range(2):
        try:
            try:
                _testing.panic("unreadable reference")
            except Exception:  # noqa: BLE001 - must not catch it
                pytest.fail("PanicException was caught as an Exception")
        except BaseException as e:  # noqa: BLE001
            caught.append(e)
    first, second = caught
    assert type(first) is type(second)
    assert type(first).__name__ == "PanicException"
    assert issubclass(type(first), BaseException) and not issubclass(type(first), Exception)
    assert str(first) == "unreadable reference"
    for mod in (_tabrix, _tabrix.readable):
        assert type(first) not in [getattr(mod, n) for n in dir(mod)]
    err = capfd.readouterr().err
    assert err.count("unreadable reference") == 2
    assert err.count("\n") == 2


def test_only_the_entry_point_is_exported():
    so = _tabrix.__file__
    out = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    exported = [line.split()[-1] for line in out.stdout.splitlines() if " T " in line or " D " in line or " B " in line]
    assert exported == ["PyInit__tabrix"]


def test_import_in_a_fresh_process():
    code = textwrap.dedent(
        """
        import tabrix.readable, _tabrix, sys
        assert tabrix.readable is _tabrix.readable
        from tabrix import Book
        print(Book.__module__)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "tabrix"
