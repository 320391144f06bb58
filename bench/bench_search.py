"""Cell searches beside the pure-Python floor and openpyxl, printed as ratios.

Run: .venv/bin/python bench/bench_search.py [--sizes 1000,1000000] [--no-openpyxl]

For each size the same texts fill a tabrix sheet, a flat list of (row, col, text) tuples (the
pure-Python floor) and, when installed, an openpyxl worksheet. Times are the best of several
repeats, in nanoseconds per cell searched; the bars the project holds itself to are printed with
PASS or FAIL beside the measured ratios.
"""

import argparse
import gc
import time

import tabrix


def texts(n):
    words = ["alpha", "beta", "gamma", "delta", "Total", "epsilon", "zeta"]
    out = []
    for i in range(n):
        k = i % 97
        if k == 0:
            out.append(f"Total {i}")
        elif k < 40:
            out.append(f"{words[i % 7]}{i % 1000}" if words[i % 7] != "Total" else "Sub")
        elif k < 70:
            out.append(str(i))
        else:
            out.append(f"{i % 10000}.{i % 100:02d}")
    return out


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.disable()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
        gc.enable()
    return min(times)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="1000,1000000")
    ap.add_argument("--no-openpyxl", action="store_true")
    args = ap.parse_args()
    try:
        import openpyxl
    except ImportError:
        openpyxl = None
    if args.no_openpyxl:
        openpyxl = None

    rows = []
    bars = []
    for n in (int(s) for s in args.sizes.split(",")):
        cols = 10
        data = texts(n)
        sheet = tabrix.Book().add_sheet("Data")
        flat = []
        for i, t in enumerate(data):
            r, c = i // cols + 1, i % cols + 1
            sheet.cell(r, c, t)
            flat.append((r, c, sheet.get_value_cell(r, c)))  # the same display texts
        repeat = 50 if n <= 10_000 else 7
        sheet.find_cells_by_regex("Total")  # the sorted list is built once and kept

        floor_regex = best(lambda: [x for x in flat if "Total" in x[2]], repeat)
        floor_str = best(lambda: [x for x in flat if x[2].strip() == "Total 97"], repeat)
        t_regex = best(lambda: sheet.find_cells_by_regex("Total"), repeat)
        t_str = best(lambda: sheet.find_cells_by_str("Total 97"), repeat)
        t_first = best(lambda: sheet.find_cell_by_regex("alpha"), max(repeat, 20))
        assert len(sheet.find_cells_by_regex("Total")) == len([x for x in flat if "Total" in x[2]])
        assert [(c.row, c.column) for c in sheet.find_cells_by_str("Total 97")] == [
            (x[0], x[1]) for x in flat if x[2].strip() == "Total 97"
        ]
        per = 1e9 / n
        rows.append((n, "floor: [x for x in flat if 'Total' in x[2]]", floor_regex * per, None))
        rows.append((n, "tabrix find_cells_by_regex('Total')", t_regex * per, floor_regex / t_regex))
        rows.append((n, "floor: [x for x in flat if x[2].strip() == v]", floor_str * per, None))
        rows.append((n, "tabrix find_cells_by_str(v)", t_str * per, floor_str / t_str))
        rows.append((n, "tabrix find_cell_by_regex, match among the first cells (us/call)", t_first * 1e6, None))
        bars.append((f"find_cells_by_regex >= 3x the floor at {n:,}", floor_regex / t_regex, 3.0))
        bars.append((f"find_cells_by_str >= 3x the floor at {n:,}", floor_str / t_str, 3.0))
        if openpyxl is not None:
            wb = openpyxl.Workbook()
            ws = wb.active
            for i, t in enumerate(data):
                ws.cell(row=i // cols + 1, column=i % cols + 1, value=t)

            def scan():
                return [c for row in ws.iter_rows() for c in row if "Total" in str(c.value)]

            t_op = best(scan, 3 if n <= 10_000 else 1)
            rows.append((n, "openpyxl iter_rows + 'Total' in str(value)", t_op * per, None))
            bars.append((f"find_cells_by_regex >= 100x openpyxl at {n:,}", t_op / t_regex, 100.0))
            del wb, ws

    print(f"{'cells':>9}  {'workload':70} {'ns/cell':>9} {'x floor':>8}")
    for n, label, v, ratio in rows:
        unit = "" if "us/call" not in label else ""
        print(f"{n:>9,}  {label:70} {v:9.2f} {'' if ratio is None else f'{ratio:7.2f}x':>8}{unit}")
    print()
    for label, ratio, bar in bars:
        print(f"{'PASS' if ratio >= bar else 'FAIL'}  {label}: {ratio:.1f}x")


if __name__ == "__main__":
    main()
