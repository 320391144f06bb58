"""The main job end to end: the sales report builds, writes its JSON document and .xlsx, and
`tabrix grep` finds in that .xlsx exactly the cells a plain openpyxl loop finds."""

import datetime as dt
import json
import pathlib
import runpy
import subprocess
import sys

import pytest

openpyxl = pytest.importorskip("openpyxl")
pytest.importorskip("xlsxwriter")

from test_cli import shown  # noqa: E402  (the display text of an openpyxl value)

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    out = tmp_path_factory.mktemp("report")
    module = runpy.run_path(str(ROOT / "examples/report.py"))
    assert module["main"](["report.py", str(out)]) == 0
    return out


def test_the_report_is_written(report):
    doc = json.loads((report / "report.json").read_text(encoding="utf-8"))
    assert [s["name"] for s in doc["sheets"]] == ["Orders", "Summary", "Raw orders"]
    assert [s["sheet_state"] for s in doc["sheets"]] == ["visible", "visible", "hidden"]
    wb = openpyxl.load_workbook(report / "report.xlsx")
    assert wb.sheetnames == ["Orders", "Summary", "Raw orders"]
    summary = wb["Summary"]
    assert summary["A1"].value == "Sales by region, 2026"
    assert "A1:D1" in {str(r) for r in summary.merged_cells.ranges}
    assert summary["D8"].value.startswith("=SUM(")
    assert summary["D8"].comment.author == "Report service"
    assert wb["Orders"].column_dimensions["H"].hidden
    assert wb["Raw orders"].sheet_state == "hidden"
    assert isinstance(wb["Orders"]["G2"].value, dt.datetime)


@pytest.mark.parametrize("pattern", ["North", "Widget", "Total", "ORD-00001", "2026-03", "12.5"])
def test_grep_finds_what_a_plain_loop_finds(report, pattern):
    path = report / "report.xlsx"
    wb = openpyxl.load_workbook(path, data_only=True)
    expected = sorted(
        (ws.title, cell.coordinate)
        for ws in wb.worksheets
        for row in ws.iter_rows()
        for cell in row
        if cell.value is not None and pattern in shown(cell.value)
    )
    out = subprocess.run(
        [sys.executable, "-m", "tabrix", "grep", "--json", pattern, str(path)],
        capture_output=True, text=True,
    )
    assert out.returncode == (0 if expected else 1), out.stderr
    found = sorted((m["sheet"], m["cell"]) for m in map(json.loads, out.stdout.splitlines()))
    assert found == expected
    assert expected, "every pattern here occurs in the report"
