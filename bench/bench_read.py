"""Read side: snapshots of loaded worksheets and the searches over them, beside their peers.

Run: .venv/bin/python bench/bench_read.py [--sizes 200000,1000000] [--repeats 5] [--no-openpyxl]

Every size N is measured on the same cells: ten columns per row, six of words of 3 to 15
bytes (data type "s"; about one cell in 97 reads 'Total <k>' instead), two of integers and two
of decimals (data type "n", so they become numbers in the snapshot and are searched by their
display text).

- Snapshot: create_finder over four source sheets of N/4 cells each, beside a Python loop that
  merely reads the five fields of every source cell. Source cells are instances of a small class
  with __slots__, types.SimpleNamespace objects, and plain dicts (read by item in the loop); all
  three are reported.
- Sheet search: ReadableSheet.find_cells_by_regex('Total') and find_cells_by_str('Total 485')
  over one sheet of N cells, beside the pure-Python floor over a flat list of (row, col, text)
  tuples holding the same display texts, and beside openpyxl (iter_rows testing "Total" in
  str(cell.value)). The first search of a sheet also sorts its cells; it is shown apart. Each
  size runs in a fresh child process, first on a sheet built before anything else, then
  ("[after churn]") on one built after three snapshots of N cells were made and dropped, as in
  a process that loads workbooks one after another.
- Module-level search: readable.find_cells_by_regex('Total', cells) over a list of N
  ReadableCell objects, beside the same floor.
- Memory: in a fresh child process (this script with --memory-child), VmRSS before and after
  create_finder over 1,000,000 cells of words of up to 15 bytes; the source objects exist before
  the first reading and stay alive. Reported per cell, less the UTF-8 bytes of the texts, which
  the snapshot copies.
- Other threads (largest size, fresh sheet): the increments per second of a counting Python
  thread while this thread runs sheet searches back to back, beside its rate when this thread
  sleeps and when it runs the pure-Python floor.

Times are the best of the repeats, with the cyclic collector off in every timed region;
contenders take turns within each repeat so that load from elsewhere falls on all of them.
Ratios are peer time / tabrix time (above 1: tabrix is faster). The project's bars are printed
with PASS or FAIL beside the measured ratios; nothing here asserts a time.
"""

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import threading
import time
import types

from common import make_words, status_bytes

COLS = 10
SEED = 20240305
STR_TARGET = "Total 485"


class SlotCell:
    __slots__ = ("row", "column", "value", "formula", "data_type")

    def __init__(self, row, column, value, formula, data_type):
        self.row, self.column, self.value, self.formula, self.data_type = row, column, value, formula, data_type


def namespace_cell(row, column, value, formula, data_type):
    return types.SimpleNamespace(row=row, column=column, value=value, formula=formula, data_type=data_type)


def dict_cell(row, column, value, formula, data_type):
    return {"row": row, "column": column, "value": value, "formula": formula, "data_type": data_type}


CELL_KINDS = {"__slots__ class": SlotCell, "SimpleNamespace": namespace_cell, "dict": dict_cell}


def make_cells(n, words_only=False):
    """(row, col, text, data_type) of `n` cells in row-major order."""
    rng = random.Random(SEED)
    words = iter(make_words(n, rng))
    out = []
    for i in range(n):
        r, c = divmod(i, COLS)
        w = next(words)
        if words_only or c < 6:
            out.append((r + 1, c + 1, f"Total {i % 100_000}" if i % 97 == 0 and not words_only else w, "s"))
        elif c < 8:
            out.append((r + 1, c + 1, str(rng.randint(-50_000, 5_000_000)), "n"))
        else:
            out.append((r + 1, c + 1, f"{rng.randint(0, 99_999)}.{rng.randint(0, 99):02d}", "n"))
    return out


def source_sheets(cells, parts, make_cell):
    """`parts` source sheets that share `cells` between them in contiguous stretches."""
    size = -(-len(cells) // parts)
    return [
        types.SimpleNamespace(
            name=f"Sheet{p + 1}",
            sheet_state="visible",
            merge_cells=None,
            cells=[make_cell(r, c, t, None, d) for r, c, t, d in cells[p * size : (p + 1) * size]],
        )
        for p in range(parts)
    ]


def read_five_items(sheets):
    for s in sheets:
        for c in s.cells:
            c["row"]
            c["column"]
            c["value"]
            c["formula"]
            c["data_type"]


def read_five_fields(sheets):
    for s in sheets:
        for c in s.cells:
            c.row
            c.column
            c.value
            c.formula
            c.data_type


def timed(fn):
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = fn()
        return time.perf_counter() - t0, result
    finally:
        gc.enable()


def best_of(contenders, repeats):
    """{label: best seconds}: every repeat runs each contender once, in turn."""
    best = {}
    for _ in range(repeats):
        for label, fn in contenders.items():
            gc.collect()
            seconds, _ = timed(fn)
            best[label] = min(best.get(label, seconds), seconds)
    return best


class Table:
    def __init__(self):
        self.rows = []

    def add(self, n, label, seconds, peer_seconds=None, unit="ns/cell"):
        value = seconds * 1e9 / n if unit == "ns/cell" else seconds * 1e3
        ratio = None if peer_seconds is None else peer_seconds / seconds
        self.rows.append((n, label, value, unit, ratio))

    def print(self, title):
        print(title)
        print(f"{'cells':>9}  {'workload':80} {'time':>10} {'unit':8} {'peer/tabrix':>11}")
        for n, label, value, unit, ratio in self.rows:
            r = "" if ratio is None else f"{ratio:10.2f}x"
            print(f"{n:>9,}  {label:80} {value:10.2f} {unit:8} {r:>11}")
        print()


# ---- snapshot ---------------------------------------------------------------------------------


def measure_snapshot(n, repeats, table, bars, readable):
    cells = make_cells(n)
    for kind, make_cell in CELL_KINDS.items():
        sheets = source_sheets(cells, 4, make_cell)
        finder = readable.create_finder(sheets)
        got = sum(len(s.cells) for s in finder.sheets)
        assert got == n, (got, n)
        del finder
        best = best_of(
            {"loop": lambda: (read_five_items if kind == "dict" else read_five_fields)(sheets),
             "tabrix": lambda: readable.create_finder(sheets)},
            repeats,
        )
        table.add(n, f"[{kind}] Python loop reading the five fields of each cell", best["loop"])
        table.add(n, f"[{kind}] tabrix create_finder over 4 sheets", best["tabrix"], best["loop"])
        bars.append((f"create_finder ({kind}) no slower than the five-field loop at {n:,}", best["loop"] / best["tabrix"], 1.0))
        del sheets


# ---- searches ---------------------------------------------------------------------------------


def build_search_inputs(n, readable):
    cells = make_cells(n)
    sheet = readable.create_finder(source_sheets(cells, 1, SlotCell)).sheets[0]
    listed = sheet.cells
    flat = [(c.row, c.column, c.value) for c in listed]  # the display texts the searches see
    return cells, sheet, listed, flat


def measure_search(n, repeats, table, bars, readable, openpyxl, tag=""):
    cells, sheet, listed, flat = build_search_inputs(n, readable)
    first, _ = timed(lambda: sheet.find_cells_by_regex("Total"))  # a new sheet: sorts its cells too
    want_regex = [(x[0], x[1]) for x in flat if "Total" in x[2]]
    want_str = [(x[0], x[1]) for x in flat if x[2].strip() == STR_TARGET]
    assert [(c.row, c.column) for c in sheet.find_cells_by_regex("Total")] == want_regex
    assert [(c.row, c.column) for c in readable.find_cells_by_regex("Total", listed)] == want_regex
    assert [(c.row, c.column) for c in sheet.find_cells_by_str(STR_TARGET)] == want_str and want_str

    best = best_of(
        {
            "floor regex": lambda: [x for x in flat if "Total" in x[2]],
            "floor str": lambda: [x for x in flat if x[2].strip() == STR_TARGET],
            "sheet regex": lambda: sheet.find_cells_by_regex("Total"),
            "sheet str": lambda: sheet.find_cells_by_str(STR_TARGET),
            "module regex": lambda: readable.find_cells_by_regex("Total", listed),
        },
        repeats,
    )
    table.add(n, "floor: [x for x in flat if 'Total' in x[2]]" + tag, best["floor regex"])
    table.add(n, "ReadableSheet.find_cells_by_regex('Total')" + tag, best["sheet regex"], best["floor regex"])
    table.add(n, "  the first call on a new sheet (sorts its cells too)", first, best["floor regex"])
    table.add(n, f"floor: [x for x in flat if x[2].strip() == '{STR_TARGET}']" + tag, best["floor str"])
    table.add(n, f"ReadableSheet.find_cells_by_str('{STR_TARGET}')" + tag, best["sheet str"], best["floor str"])
    table.add(n, "readable.find_cells_by_regex('Total', list of ReadableCell)" + tag, best["module regex"], best["floor regex"])
    bars.append((f"ReadableSheet.find_cells_by_regex >= 3x the floor at {n:,}{tag}", best["floor regex"] / best["sheet regex"], 3.0))
    bars.append((f"ReadableSheet.find_cells_by_str >= 3x the floor at {n:,}{tag}", best["floor str"] / best["sheet str"], 3.0))
    # The module-level search over a caller's list has no speed bar (its ratio is in the table):
    # each call first checks every item and holds a reference to it, under the interpreter lock.

    if openpyxl is not None:
        wb = openpyxl.Workbook()
        ws = wb.active
        for r, c, text, _ in cells:
            ws.cell(row=r, column=c, value=text)

        def scan():
            return [x for row in ws.iter_rows() for x in row if "Total" in str(x.value)]

        assert [(x.row, x.column) for x in scan()] == want_regex
        t_op = best_of({"openpyxl": scan}, 1 if n > 200_000 else 3)["openpyxl"]
        table.add(n, "openpyxl iter_rows + 'Total' in str(cell.value)", t_op)
        table.add(n, "  ReadableSheet.find_cells_by_regex('Total') against it" + tag, best["sheet regex"], t_op)
        if n >= 1_000_000:  # the bar is set at a million cells; smaller sizes are shown for scale
            bars.append((f"ReadableSheet.find_cells_by_regex >= 100x openpyxl at {n:,}{tag}", t_op / best["sheet regex"], 100.0))
    return sheet, flat


def churn_allocator(n, readable):
    """Makes and drops three snapshots of `n` cells, as a process that loads workbooks does."""
    sheets = source_sheets(make_cells(n), 4, SlotCell)
    for _ in range(3):
        readable.create_finder(sheets)


def search_child(n, repeats, use_openpyxl, threads):
    """In a fresh child: the searches on a sheet built first, then on one built after other
    snapshots were made and dropped. Prints the table rows, bars and thread lines as JSON."""
    from tabrix import readable

    openpyxl = None
    if use_openpyxl:
        try:
            import openpyxl
        except ImportError:
            pass
    table, bars = Table(), []
    sheet, flat = measure_search(n, repeats, table, bars, readable, openpyxl)
    lines = measure_threads(sheet, flat) if threads else []
    del sheet, flat
    gc.collect()
    churn_allocator(n, readable)
    measure_search(n, repeats, table, bars, readable, None, tag=" [after churn]")
    print(json.dumps({"rows": table.rows, "bars": bars, "threads": lines}))


def run_search_child(n, repeats, use_openpyxl, threads):
    argv = [sys.executable, os.path.abspath(__file__), "--search-child", str(n), "--repeats", str(repeats)]
    argv += [] if use_openpyxl else ["--no-openpyxl"]
    argv += ["--threads"] if threads else []
    run = subprocess.run(argv, capture_output=True, text=True)
    if run.returncode:
        sys.exit(f"search child failed:\n{run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])


# ---- memory -----------------------------------------------------------------------------------


def memory_child(n):
    """In the child: source objects first, then the RSS growth of create_finder alone."""
    from tabrix import readable

    start = status_bytes("VmRSS")
    cells = make_cells(n, words_only=True)
    sheets = source_sheets(cells, 4, SlotCell)
    text_bytes = sum(len(t.encode()) for _, _, t, _ in cells)
    gc.collect()
    gc.disable()
    before = status_bytes("VmRSS")
    finder = readable.create_finder(sheets)
    after = status_bytes("VmRSS")
    assert sum(len(s.cells) for s in finder.sheets) == n
    print(json.dumps({"cells": n, "text_bytes": text_bytes, "sources": before - start, "growth": after - before}))


def measure_memory(n, bars):
    run = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", str(n)],
        capture_output=True, text=True, check=True,
    )
    m = json.loads(run.stdout.strip().splitlines()[-1])
    per_cell = m["growth"] / n
    text = m["text_bytes"] / n
    beyond = per_cell - text
    print("Memory of a snapshot: a fresh child reads its own VmRSS before and after create_finder")
    print(f"  {n:,} cells of words of 3 to 15 bytes ({text:.1f} text bytes per cell on average)")
    print(f"  source objects (__slots__ cells, for scale):   {m['sources'] / n:7.1f} bytes/cell")
    print(f"  snapshot, RSS growth:                          {per_cell:7.1f} bytes/cell")
    print(f"  snapshot, beyond the text bytes:               {beyond:7.1f} bytes/cell")
    print()
    bars.append((f"snapshot memory beyond the texts <= 64 bytes/cell at {n:,}", beyond, 64.0, "bytes"))


# ---- other threads during searches ------------------------------------------------------------


def counter_rate(busy, seconds):
    """Increments per second of a counting thread while this thread calls busy() (or sleeps)."""
    count, stop, started = [0], [False], threading.Event()

    def counter():
        started.set()
        n = 0
        while not stop[0]:
            n += 1
            if n & 1023 == 0:
                count[0] = n
        count[0] = n

    t = threading.Thread(target=counter)
    t.start()
    started.wait()
    calls = 0
    c0, t0 = count[0], time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        if busy is None:
            time.sleep(0.05)
        else:
            busy()
            calls += 1
    c1, t1 = count[0], time.perf_counter()
    stop[0] = True
    t.join()
    return (c1 - c0) / (t1 - t0), calls


def measure_threads(sheet, flat, seconds=2.0):
    idle, _ = counter_rate(None, seconds)
    searching, calls = counter_rate(lambda: sheet.find_cells_by_regex("Total"), seconds)
    floor, floor_calls = counter_rate(lambda: [x for x in flat if "Total" in x[2]], seconds)
    n = len(flat)
    return [
        f"A counting Python thread while this thread searches {n:,} cells back to back ({seconds:.0f} s each)",
        f"  this thread sleeps:                                   {idle / 1e6:7.2f} M increments/s",
        f"  ReadableSheet.find_cells_by_regex, {calls:4d} calls:        {searching / 1e6:7.2f} M increments/s ({searching / idle:.0%} of idle)",
        f"  pure-Python floor, {floor_calls:4d} scans:                  {floor / 1e6:7.2f} M increments/s ({floor / idle:.0%} of idle)",
        f"  ({os.cpu_count()} processors; the search's worker threads share them with the counter)",
    ]


# ---- main -------------------------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="200000,1000000")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-openpyxl", action="store_true")
    ap.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--search-child", type=int, help=argparse.SUPPRESS)
    ap.add_argument("--threads", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_child:
        memory_child(args.memory_child)
        return
    if args.search_child:
        search_child(args.search_child, args.repeats, not args.no_openpyxl, args.threads)
        return

    from tabrix import readable

    try:
        import openpyxl
    except ImportError:
        openpyxl = None

    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"load average at start: {os.getloadavg()[0]:.2f} on {os.cpu_count()} processors; python {sys.version.split()[0]}")
    print(f"openpyxl: {openpyxl.__version__ if openpyxl and not args.no_openpyxl else 'skipped'}")
    print()
    bars = []
    snapshot, search = Table(), Table()
    thread_lines = []
    for n in sizes:
        found = run_search_child(n, args.repeats, not args.no_openpyxl, threads=n == sizes[-1])
        search.rows += [tuple(r) for r in found["rows"]]
        bars += [tuple(b) for b in found["bars"]]
        thread_lines = found["threads"] or thread_lines
        measure_snapshot(n, max(2, args.repeats // 2), snapshot, bars, readable)
    snapshot.print("Snapshot: create_finder beside a loop that only reads the source fields")
    search.print(
        "Searches: ReadableSheet methods and module functions beside the Python floor and openpyxl\n"
        "(each size in a fresh child; [after churn]: the sheet is built after three snapshots of the\n"
        "same size were made and dropped in that process)"
    )
    measure_memory(1_000_000, bars)
    print("\n".join(thread_lines))
    print()
    print(f"load average at end: {os.getloadavg()[0]:.2f}")
    print()
    for bar in bars:
        label, value, need = bar[:3]
        if len(bar) > 3:  # an upper bound in bytes
            ok, shown = value <= need, f"{value:.1f} bytes (bar {need:g})"
        else:  # a lower bound on a speed ratio
            ok, shown = value >= need, f"{value:.2f}x (bar {need:g}x)"
        print(f"{'PASS' if ok else 'FAIL'}  {label}: {shown}")


if __name__ == "__main__":
    main()
