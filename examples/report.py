"""The main job: a sales report built with tabrix from a real database.

A `tabrix.Service` subclass reads an SQLite database (created with sample data on first run),
builds a multi-sheet workbook (a title with merged cells, formulas, dates, comments, column
widths, a hidden column and a hidden sheet), writes the JSON document and an .xlsx file, then
reopens the .xlsx with openpyxl and finds cells in it with `tabrix.readable.Finder`.

Run: scripts/run-main [OUTPUT_DIR]        (default: ./report-output)
"""

from __future__ import annotations

import datetime as dt
import json
import pathlib
import random
import sqlite3
import sys
import time
from typing import Any

import tabrix
import tabrix.readable

REGIONS = ["North", "South", "East", "West"]
PRODUCTS = [("Widget", 12.5), ("Gadget", 30.0), ("Gizmo", 7.25), ("Doohickey", 99.9)]


def create_database(path: pathlib.Path) -> None:
    """A small sales database: regions, products and a year of orders (seeded, so repeatable)."""
    rng = random.Random(2026)
    with sqlite3.connect(path) as db:
        db.executescript(
            """
            CREATE TABLE product(id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL NOT NULL);
            CREATE TABLE orders(
                id INTEGER PRIMARY KEY, region TEXT NOT NULL, product_id INTEGER NOT NULL,
                quantity INTEGER NOT NULL, placed_at TEXT NOT NULL);
            """
        )
        db.executemany("INSERT INTO product(name, price) VALUES (?, ?)", PRODUCTS)
        start = dt.datetime(2026, 1, 1, 8, 0, 0)
        rows = []
        for _ in range(2000):
            placed = start + dt.timedelta(minutes=rng.randrange(365 * 24 * 60))
            rows.append((rng.choice(REGIONS), rng.randrange(1, len(PRODUCTS) + 1), rng.randrange(1, 20),
                         placed.strftime("%Y-%m-%d %H:%M:%S")))
        db.executemany("INSERT INTO orders(region, product_id, quantity, placed_at) VALUES (?, ?, ?, ?)", rows)


class SalesReport(tabrix.Service):
    """Builds the report's sheets from the database handed in as `conn_db`."""

    def summary_0(self, sheets: list[Any], /, **kwargs: Any) -> tabrix.Sheet:
        """The summary sheet: one row per region with totals computed by formulas."""
        db: sqlite3.Connection = self._conn_db
        orders: tabrix.Sheet = sheets[0]
        year = kwargs.get("year", 2026)
        summary = self._add_sheet("Summary")
        summary.add_merge_cells(1, 1, 1, 4)
        title = summary.cell(1, 1, f"Sales by region, {year}")
        title.style = "title"
        summary.set_height_row(1, 28.0)
        for col, head in enumerate(["Region", "Orders", "Quantity", "Revenue"], start=1):
            summary.cell(3, col, head).style = "header"
            summary.set_width_column(col, 18.0 if col == 1 else 14.0)
        last = orders.max_row
        for i, (region, n) in enumerate(db.execute(
                "SELECT region, COUNT(*) FROM orders GROUP BY region ORDER BY region"), start=4):
            summary.cell(i, 1, region)
            summary.cell(i, 2, str(n))
            qty = summary.cell(i, 3)
            qty.formula = f'SUMIF(Orders!B2:B{last},A{i},Orders!D2:D{last})'
            rev = summary.cell(i, 4)
            rev.formula = f'SUMIF(Orders!B2:B{last},A{i},Orders!F2:F{last})'
            rev.style = "money"
        total_row = 4 + len(REGIONS)
        summary.cell(total_row, 1, "Total").style = "header"
        for col, letter in ((2, "B"), (3, "C"), (4, "D")):
            c = summary.cell(total_row, col)
            c.formula = f"SUM({letter}4:{letter}{total_row - 1})"
            c.style = "money" if col == 4 else "header"
        summary.add_comment(total_row, 4, "Revenue is quantity times list price.", "Report service")
        return summary

    def _fmt_0(self, **kwargs: Any) -> dict[str, dict[str, Any]]:
        """The styles the report's style ids stand for, as XlsxWriter format properties."""
        return {
            "title": {"bold": True, "font_size": 14},
            "header": {"bold": True, "bottom": 1},
            "money": {"num_format": "#,##0.00"},
            "date": {"num_format": "yyyy-mm-dd hh:mm"},
        }

    def orders(self) -> tabrix.Sheet:
        """Every order, one row each, with its date, quantity, price and revenue."""
        db: sqlite3.Connection = self._conn_db
        sheet = self._add_sheet("Orders")
        heads = ["Order", "Region", "Product", "Quantity", "Price", "Revenue", "Placed at", "Internal id"]
        for col, head in enumerate(heads, start=1):
            sheet.cell(1, col, head).style = "header"
        query = """SELECT o.id, o.region, p.name, o.quantity, p.price, o.placed_at
                   FROM orders o JOIN product p ON p.id = o.product_id ORDER BY o.placed_at"""
        for row, (oid, region, product, qty, price, placed) in enumerate(db.execute(query), start=2):
            sheet.cell(row, 1, str(oid))
            sheet.cell(row, 2, region)
            sheet.cell(row, 3, product)
            sheet.cell(row, 4, str(qty))
            sheet.cell(row, 5).set_value_number(price)
            revenue = sheet.cell(row, 6)
            revenue.set_value_number(qty * price)
            revenue.formula = f"D{row}*E{row}"
            revenue.style = "money"
            sheet.cell(row, 7, placed).style = "date"  # read as a date-time
            sheet.cell(row, 8, f"ORD-{oid:06d}").hidden_value = str(oid)
        for col, width in enumerate([8.0, 10.0, 12.0, 9.0, 9.0, 12.0, 18.0, 14.0], start=1):
            sheet.set_width_column(col, width)
        sheet.set_hidden_column(8, True)
        return sheet


def main(argv: list[str]) -> int:
    from tabrix import sources, xlsx

    import openpyxl

    out = pathlib.Path(argv[1] if len(argv) > 1 else "report-output").resolve()
    out.mkdir(parents=True, exist_ok=True)
    db_path = out / "sales.sqlite"
    if not db_path.exists():
        create_database(db_path)
        print(f"created sample database {db_path}")

    started = time.perf_counter()
    with sqlite3.connect(db_path) as db:
        report = SalesReport(db)
        orders = report.orders()
        summary = report.summary_0([orders], year=2026)
        raw = report._copy_sheet(orders)
        raw.name = "Raw orders"
        raw.set_sheet_state("hidden")
        styles = report._fmt_0()
    document = report.to_json()
    json_path = out / "report.json"
    json_path.write_text(document, encoding="utf-8")
    xlsx_path = out / "report.xlsx"
    xlsx.write(report, xlsx_path, styles=styles)
    built = time.perf_counter() - started
    print(f"{report!r}: {sum(len(s.cells) for s in report._sheets):,} cells, built and written in {built:.2f} s")
    print(f"  JSON document  {json_path} ({len(document.encode()):,} bytes, "
          f"{len(json.loads(document)['sheets'])} sheets)")
    print(f"  spreadsheet    {xlsx_path} ({xlsx_path.stat().st_size:,} bytes)")
    print(f"  summary sheet  {summary!r}")

    workbook = openpyxl.load_workbook(xlsx_path)
    finder = tabrix.readable.Finder(sources.from_openpyxl(workbook))
    print(f"reopened with openpyxl: {finder!r} {[s.name for s in finder.sheets]}")
    found = finder.find_sheet_by_name("Summary")
    if found is None:
        print("the Summary sheet is missing", file=sys.stderr)
        return 1
    for cell in found.find_cells_by_str("Total"):
        print(f"  'Total' at Summary!{cell.letter}")
    orders_sheet = finder.find_sheet_by_regex("^Orders$")
    if orders_sheet is None:
        print("the Orders sheet is missing", file=sys.stderr)
        return 1
    widgets = orders_sheet.find_cells_for_rows_by_regex("Widget", 3)
    print(f"  {len(widgets)} orders of Widgets on sheet {orders_sheet.name!r}")
    regions = orders_sheet.find_cells_range_cols(2, 2)[1:]
    north = tabrix.readable.find_cells_by_str("North", regions)
    print(f"  {len(north)} orders from the North region, the first in row {north[0].row}")
    hidden = [s.name for s in finder.sheets if s.sheet_state != "visible"]
    print(f"  hidden sheets: {hidden}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
