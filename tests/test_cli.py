"""The tabrix command line: grep over .xlsx files against a plain openpyxl loop, exit statuses,
errors, JSON lines, and the console script."""

import datetime as dt
import json
import os
import random
import re
import shutil
import subprocess
import sys
import zipfile
from decimal import Decimal

import pytest

openpyxl = pytest.importorskip("openpyxl")

import tabrix  # noqa: E402
from tabrix.cli import main  # noqa: E402


def shown(value):
    """The display text of an openpyxl value (whole seconds only in these files)."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        text = format(Decimal(repr(value)), "f")
        return text.rstrip("0").rstrip(".") if "." in text else text
    if isinstance(value, dt.datetime):
        return value.strftime("%Y-%m-%d %H:%M:%S")
    return str(value)


WORDS = ["Total", "total ", " total", "a\tb", "line\nbreak", "back\\slash", "x.5", "0012", "Ünï"]
MAKERS = [
    lambda rng: rng.choice(WORDS + ["TRUE", "  "]),
    lambda rng: rng.randrange(-5000, 5000),
    lambda rng: rng.randrange(-(10**6), 10**6) / 16,
    lambda rng: rng.random() < 0.5,
    lambda rng: dt.datetime(2024, 1, 1) + dt.timedelta(minutes=rng.randrange(10**6)),
    lambda rng: None,
]


def fill(ws, rng, rows):
    for row in range(1, rows + 1):
        for col in range(1, 7):
            ws.cell(row, col, rng.choice(MAKERS)(rng))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Two workbooks: a.xlsx with sheets Data, Summary, Other 2; b.xlsx with Data."""
    rng = random.Random(7)
    folder = tmp_path_factory.mktemp("cli")
    paths = []
    for name, sheets in (("a.xlsx", ["Data", "Summary", "Other 2"]), ("b.xlsx", ["Data"])):
        wb = openpyxl.Workbook()
        wb.remove(wb.active)
        for title in sheets:
            fill(wb.create_sheet(title), rng, 25)
        wb.save(folder / name)
        paths.append(str(folder / name))
    return paths


@pytest.fixture(scope="module")
def table(files):
    """[(file, sheet, row, column, display text)] in file, sheet and row-major order."""
    out = []
    for path in files:
        wb = openpyxl.load_workbook(path)
        for ws in wb.worksheets:
            cells = [c for line in ws.iter_rows() for c in line if c.value is not None]
            out += sorted((path, ws.title, c.row, c.column, shown(c.value)) for c in cells)
    return out


def escaped(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def run(capsys, *argv):
    status = main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def letter(row, col):
    return openpyxl.utils.get_column_letter(col) + str(row)


# pattern, options, which cells the options keep (file, sheet, row, column)
CASES = [
    ("Total", [], lambda f, s, r, c: True),
    ("total", ["-x"], lambda f, s, r, c: True),
    ("\t", [], lambda f, s, r, c: True),
    ("\\", [], lambda f, s, r, c: True),
    ("Ünï", [], lambda f, s, r, c: True),
    (".5", [], lambda f, s, r, c: True),
    ("true", [], lambda f, s, r, c: True),
    ("2024-0", [], lambda f, s, r, c: True),
    ("", ["-x"], lambda f, s, r, c: True),
    ("1", ["--rows", "3:7"], lambda f, s, r, c: 3 <= r <= 7),
    ("1", ["--rows", "12"], lambda f, s, r, c: r == 12),
    ("1", ["--cols", "B:c"], lambda f, s, r, c: 2 <= c <= 3),
    ("2", ["--rows", ":4", "--cols", "5:"], lambda f, s, r, c: r <= 4 and c >= 5),
    ("0", ["--rows", "9:2"], lambda f, s, r, c: False),
    ("a", ["--sheet", "^Data$"], lambda f, s, r, c: s == "Data"),
    ("a", ["--sheet", "ummar|2"], lambda f, s, r, c: s in ("Summary", "Other 2")),
    ("a", ["--sheet", "(?i)data"], lambda f, s, r, c: s == "Data"),
]


def expected_matches(table, pattern, options, keep):
    exact = "-x" in options
    hits = []
    for f, s, r, c, text in table:
        if exact:
            found = text.strip() == pattern.strip()
        else:
            found = pattern in text
        if found and keep(f, s, r, c):
            hits.append((f, s, r, c, text))
    return hits


@pytest.mark.parametrize(
    ("pattern", "options", "keep"), CASES, ids=[f"{p!r}{o}" for p, o, _ in CASES]
)
def test_grep_finds_exactly_the_cells_a_plain_loop_finds(
    capsys, files, table, pattern, options, keep
):
    hits = expected_matches(table, pattern, options, keep)
    status, out, _err = run(capsys, "grep", "-q", *options, pattern, *files)
    assert out.splitlines() == [
        f"{f}:{s}!{letter(r, c)}\t{escaped(text)}" for f, s, r, c, text in hits
    ]
    assert status == (0 if hits else 1)

    status, out, _err = run(capsys, "grep", "-q", "--json", *options, pattern, *files)
    records = [json.loads(line) for line in out.splitlines()]
    assert records == [
        {"file": f, "sheet": s, "cell": letter(r, c), "row": r, "column": c, "value": text}
        for f, s, r, c, text in hits
    ]

    status, out, _err = run(capsys, "grep", "-q", "-c", *options, pattern, *files)
    assert out.splitlines() == [f"{f}\t{sum(h[0] == f for h in hits)}" for f in files]
    assert status == (0 if hits else 1)


def test_every_match_is_one_line(capsys, files, table):
    status, out, _err = run(capsys, "grep", "-q", "", *files)
    assert status == 0
    assert len(out.splitlines()) == len(table)
    assert all(line.count("\t") == 1 for line in out.splitlines())


@pytest.fixture(scope="module")
def broken(tmp_path_factory, files):
    folder = tmp_path_factory.mktemp("broken")
    (folder / "notes.txt").write_text("Total\n")
    (folder / "fake.xlsx").write_text("not a zip archive")
    # A sound package whose first sheet is cut off half way.
    with zipfile.ZipFile(files[0]) as src, zipfile.ZipFile(folder / "cut.xlsx", "w") as dst:
        for item in src.infolist():
            data = src.read(item)
            if item.filename == "xl/worksheets/sheet1.xml":
                data = data[: len(data) // 2]
            dst.writestr(item, data)
    return {
        "cut": str(folder / "cut.xlsx"),
        "missing": str(folder / "missing.xlsx"),
        "text": str(folder / "notes.txt"),
        "fake": str(folder / "fake.xlsx"),
        "folder": str(folder),
    }


@pytest.mark.parametrize(
    ("which", "message"),
    [
        ("missing", "no such file"),
        ("text", "not an .xlsx workbook"),
        ("fake", "not an .xlsx workbook (not a zip archive)"),
        ("cut", "not a readable .xlsx workbook (sheet 'Data': "),
        ("folder", "is a directory"),
    ],
)
def test_unreadable_files_give_one_error_line_and_status_2(
    capsys, files, broken, which, message
):
    path = broken[which]
    status, out, err = run(capsys, "grep", "-q", "Total", path, files[0])
    assert status == 2
    (line,) = err.splitlines()
    assert line.startswith(f"tabrix: error: {path}: {message}")
    # The readable file is still searched.
    assert out and all(line.startswith(files[0] + ":") for line in out.splitlines())


@pytest.mark.parametrize(
    "argv",
    [
        ["grep", "--rows", "x:3", "a", "f.xlsx"],
        ["grep", "--cols", "ABCD", "a", "f.xlsx"],
        ["grep", "--sheet", "(", "a", "f.xlsx"],
        ["grep", "a"],
        [],
    ],
)
def test_bad_arguments_exit_with_status_2(capsys, argv):
    with pytest.raises(SystemExit) as stop:
        status = main(argv)
        raise SystemExit(status)
    assert stop.value.code == 2
    assert "error:" in capsys.readouterr().err


def test_progress_lines_for_several_files_and_quiet(capsys, files):
    status, _out, err = run(capsys, "grep", "Total", *files)
    assert status == 0
    assert [line.split(": ")[0] for line in err.splitlines()] == ["tabrix", "tabrix"]
    for number, (path, line) in enumerate(zip(files, err.splitlines()), 1):
        assert f"[{number}/2] {path}:" in line
    assert run(capsys, "grep", "-q", "Total", *files)[2] == ""


# --- real processes ---------------------------------------------------------------------------


def console_script():
    return shutil.which("tabrix", path=os.path.dirname(sys.executable))


COMMANDS = {
    "module": [sys.executable, "-m", "tabrix"],
    "console_script": [console_script() or "tabrix"],
}


@pytest.mark.parametrize("how", COMMANDS)
def test_the_command_runs_as_a_module_and_as_the_console_script(how, files, table):
    if how == "console_script" and console_script() is None:
        pytest.skip("the tabrix console script is not installed next to this Python")
    command = COMMANDS[how]

    def call(*argv):
        return subprocess.run([*command, *argv], capture_output=True, text=True)

    version = call("--version")
    assert (version.returncode, version.stdout.strip()) == (0, f"tabrix {tabrix.__version__}")

    found = call("grep", "--json", "Total", *files)
    assert found.returncode == 0
    records = [json.loads(line) for line in found.stdout.splitlines()]
    assert [(r["file"], r["sheet"], r["row"], r["column"]) for r in records] == [
        (f, s, r, c) for f, s, r, c, text in table if "Total" in text
    ]

    nothing = call("grep", "no such text anywhere", files[0])
    assert (nothing.returncode, nothing.stdout, nothing.stderr) == (1, "", "")

    missing = call("grep", "x", "missing.xlsx")
    assert missing.returncode == 2
    assert missing.stderr == "tabrix: error: missing.xlsx: no such file\n"


# --- render -----------------------------------------------------------------------------------


@pytest.fixture
def documents(tmp_path):
    pytest.importorskip("tabrix.xlsx")  # the writer behind render; needs XlsxWriter
    book = tabrix.Book()
    sheet = book.add_sheet("Report")
    sheet.cell(1, 1, "Total").style = "bold"
    sheet.cell(1, 2, "42")
    sheet.cell(2, 1, "line\nbreak")
    hidden = tabrix.Book()
    hidden.add_sheet("Only", "hidden")
    paths = {
        "doc": (book.to_json()),
        "hidden": hidden.to_json(),
        "styles": json.dumps({"bold": {"bold": True}}),
        "other_styles": json.dumps({"italic": {"italic": True}}),
        "list": "[]",
        "broken": '{"sheets": [',
    }
    for name, text in paths.items():
        (tmp_path / f"{name}.json").write_text(text)
    return tmp_path


def test_render_writes_the_document_and_grep_reads_it_back(capsys, documents):
    out = documents / "out.xlsx"
    doc, styles = documents / "doc.json", documents / "styles.json"
    status, _out, err = run(capsys, "render", str(doc), str(out), "--styles", str(styles))
    assert (status, err) == (0, "")
    ws = openpyxl.load_workbook(out)["Report"]
    cells = [(c.coordinate, c.value) for line in ws.iter_rows() for c in line]
    assert [(at, value) for at, value in cells if value is not None] == [
        ("A1", "Total"),
        ("B1", 42),
        ("A2", "line\nbreak"),
    ]
    assert ws["A1"].font.b and not ws["B1"].font.b
    status, found, _err = run(capsys, "grep", "-q", "Total", str(out))
    assert (status, found) == (0, f"{out}:Report!A1\tTotal\n")


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["missing.json", "o.xlsx"], "missing.json: No such file or directory"),
        (["broken.json", "o.xlsx"], "broken.json: not a JSON document ("),
        (["list.json", "o.xlsx"], "list.json: not a JSON document (a list, not an object)"),
        (["hidden.json", "o.xlsx"], "hidden.json: cannot render (a workbook needs a"),
        (["doc.json", "o.xlsx", "--styles", "list.json"], "list.json: not a JSON style table"),
        (
            ["doc.json", "o.xlsx", "--styles", "other_styles.json"],
            "doc.json: cannot render (sheet 'Report', cell A1: unknown style id 'bold')",
        ),
        (["doc.json", "no/such/folder/o.xlsx"], "no/such/folder/o.xlsx: No such file or directory"),
    ],
)
def test_render_errors_are_one_line_and_write_nothing(
    capsys, documents, monkeypatch, argv, message
):
    monkeypatch.chdir(documents)
    status, out, err = run(capsys, "render", *argv)
    (line,) = err.splitlines()
    assert (status, out) == (2, "")
    assert line.startswith(f"tabrix: error: {message}")
    assert not (documents / "o.xlsx").exists()
