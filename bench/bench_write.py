"""Write side: filling a sheet cell by cell, handing the book over as JSON, and memory per cell.

Run: .venv/bin/python bench/bench_write.py [--sizes 200000,1000000]

Every contender gets the same pre-built texts and the same loop shape, is timed with
time.perf_counter with the cyclic garbage collector off, and the best of a few repeats counts.
Ratios are peer time / tabrix time, so above 1 means tabrix is faster. The bars the project
has set are printed with PASS or FAIL beside the measured ratio; nothing here asserts a time.
The verdicts go by wall time; the process's CPU time is shown beside it, since on a busy
machine it is much less disturbed by other work than the wall clock.

Memory is measured in a fresh child process per contender, reading VmRSS from
/proc/self/status inside that process before and after the fill (ru_maxrss would report the
peak inherited from this large parent).
"""

import argparse
import gc
import io
import json
import os
import random
import statistics
import subprocess
import sys
import time

from common import make_words, status_bytes

COLS = 10
SEED = 20240305

# A report's columns are typed: four of words, two of integers, two of decimals, two of
# date-times. The value each text should become lets the JSON document be checked against a
# model built here in Python rather than against tabrix's own output.
COLUMN_KINDS = ("word",) * 4 + ("int",) * 2 + ("decimal",) * 2 + ("datetime",) * 2


def make_texts(rows, rng):
    """Row-major texts for `rows` x COLS cells and, beside each, the JSON value and type it
    should come out as: (texts, expected) where expected[i] is (value, data_type)."""
    n_words = rows * COLUMN_KINDS.count("word")
    words = iter(make_words(n_words, rng))
    texts, expected = [], []
    for _ in range(rows):
        for kind in COLUMN_KINDS:
            if kind == "word":
                t = next(words)
                texts.append(t)
                expected.append((t, "s"))
            elif kind == "int":
                v = rng.randint(-50_000, 5_000_000)
                texts.append(str(v))
                expected.append((v, "n"))
            elif kind == "decimal":
                t = f"{rng.randint(0, 99_999)}.{rng.randint(0, 99):02d}"
                texts.append(t)
                expected.append((float(t), "n"))
            else:
                y, m, d = 2024, rng.randint(1, 12), rng.randint(1, 28)
                hh, mm, ss = rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59)
                body = f"{y}-{m:02d}-{d:02d}"
                clock = f"{hh:02d}:{mm:02d}:{ss:02d}"
                texts.append(f"{body} {clock}")
                expected.append((f"{body}T{clock}", "d"))
    return texts, expected


def by_row(texts):
    return [texts[i : i + COLS] for i in range(0, len(texts), COLS)]


def clock():
    return time.perf_counter(), time.process_time()


def since(start):
    """(wall seconds, CPU seconds of this process) since `start`. The CPU time is shown beside
    the wall time because it is far less disturbed by other work on a busy machine."""
    wall, cpu = clock()
    return wall - start[0], cpu - start[1]


# ---- fill: one function per contender, same loop over rows and columns -------------------


def fill_tabrix(rows_of_texts):
    import tabrix

    book = tabrix.Book()
    cell = book.add_sheet("Data").cell
    t0 = clock()
    for r, row in enumerate(rows_of_texts, 1):
        for c, text in enumerate(row, 1):
            cell(r, c, text)
    return since(t0), book


def fill_openpyxl(rows_of_texts):
    import openpyxl

    wb = openpyxl.Workbook()
    cell = wb.active.cell
    t0 = clock()
    for r, row in enumerate(rows_of_texts, 1):
        for c, text in enumerate(row, 1):
            cell(row=r, column=c, value=text)
    return since(t0), wb


def fill_xlsxwriter(rows_of_texts):
    import xlsxwriter

    wb = xlsxwriter.Workbook(io.BytesIO(), {"in_memory": True, "constant_memory": False})
    write_string = wb.add_worksheet("Data").write_string
    t0 = clock()
    # XlsxWriter counts rows and columns from 0.
    for r, row in enumerate(rows_of_texts):
        for c, text in enumerate(row):
            write_string(r, c, text)
    return since(t0), wb


def fill_dict(rows_of_texts):
    d = {}
    t0 = clock()
    for r, row in enumerate(rows_of_texts, 1):
        for c, text in enumerate(row, 1):
            d[(r, c)] = text
    return since(t0), d


def fill_tuples(rows_of_texts):
    cells = []
    append = cells.append
    t0 = clock()
    for r, row in enumerate(rows_of_texts, 1):
        for c, text in enumerate(row, 1):
            append((r, c, text))
    return since(t0), cells


FILLERS = {
    "tabrix": fill_tabrix,
    "openpyxl": fill_openpyxl,
    "xlsxwriter": fill_xlsxwriter,
    "dict": fill_dict,
    "tuples": fill_tuples,
}

FILL_LABELS = {
    "tabrix": "tabrix sheet.cell(r, c, text)",
    "openpyxl": "openpyxl ws.cell(row, column, value)",
    "xlsxwriter": "XlsxWriter write_string (in memory)",
    "dict": "plain dict[(r, c)] = text",
    "tuples": "list of (r, c, text) tuples",
}


def timed(fn, *args):
    """Runs a fill with the collector off; it returns ((wall, cpu) seconds, result)."""
    gc.collect()
    gc.disable()
    try:
        return fn(*args)
    finally:
        gc.enable()


# ---- the JSON document a Python model expects ---------------------------------------------


def expected_document(texts, expected):
    cells = []
    for i, (value, data_type) in enumerate(expected):
        r, c = divmod(i, COLS)
        cells.append({"row": r + 1, "column": c + 1, "value": value, "data_type": data_type})
    assert len(cells) == len(texts)
    return {
        "sheets": [
            {
                "name": "Data",
                "sheet_state": "visible",
                "cells": cells,
                "row_dimensions": {"default_height": 20.0},
                "column_dimensions": {"default_width": 22.5},
                "comments": [],
            }
        ]
    }


def first_difference(got, want, path="document"):
    """A short description of where two JSON-shaped values first differ, or None."""
    if type(got) is not type(want):
        return f"{path}: {type(got).__name__} {got!r:.60} != {type(want).__name__} {want!r:.60}"
    if isinstance(want, dict):
        if list(got) != list(want):
            return f"{path}: keys {list(got)} != {list(want)}"
        for k in want:
            diff = first_difference(got[k], want[k], f"{path}[{k!r}]")
            if diff:
                return diff
        return None
    if isinstance(want, list):
        if len(got) != len(want):
            return f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            diff = first_difference(g, w, f"{path}[{i}]")
            if diff:
                return diff
        return None
    return None if got == want else f"{path}: {got!r} != {want!r}"


# ---- memory, measured in a child process --------------------------------------------------


def reset_peak():
    """Resets VmHWM to the current RSS (Linux 4.0+); False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_child(contender, count):
    """Runs in the child: builds the texts, then measures the RSS growth of the fill alone."""
    # Import the contender's library before the first reading so only the fill is counted.
    if contender == "tabrix":
        import tabrix  # noqa: F401
    elif contender == "openpyxl":
        import openpyxl  # noqa: F401
    elif contender == "xlsxwriter":
        import xlsxwriter  # noqa: F401
    rng = random.Random(SEED)
    rows_of_texts = by_row(make_words(count, rng))
    text_bytes = sum(len(t.encode()) for row in rows_of_texts for t in row)
    gc.collect()
    gc.disable()
    peak_known = reset_peak()
    before = status_bytes("VmRSS")
    _, kept = FILLERS[contender](rows_of_texts)
    after = status_bytes("VmRSS")
    peak = status_bytes("VmHWM") if peak_known else None
    print(
        json.dumps(
            {
                "cells": count,
                "text_bytes": text_bytes,
                "growth": after - before,
                "peak_growth": None if peak is None else peak - before,
            }
        )
    )
    del kept


def measure_memory(contender, count):
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", contender, str(count)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


# ---- the run ------------------------------------------------------------------------------


class Table:
    def __init__(self):
        self.rows = []

    def add(self, workload, contender, timings, cells, base):
        """timings: (wall, cpu) of every repeat; base: tabrix's timings, or None for tabrix."""
        wall, cpu = best_wall(timings), best_cpu(timings)
        median = statistics.median(t[0] for t in timings)
        ratios = None if base is None else (wall / best_wall(base), cpu / best_cpu(base))
        per = 1e9 / cells
        row = (workload, contender, wall * per, median * per, cpu * per, len(timings), ratios)
        self.rows.append(row)

    def print(self, title):
        print(f"\n{title}")
        head = f"{'ns/cell':>8} {'median':>8} {'cpu ns':>8} {'runs':>4} {'peer/tabrix':>11}"
        head += f" {'(cpu)':>7}"
        print(f"{'workload':18} {'contender':40} {head}")
        for workload, contender, wall, median, cpu, runs, ratios in self.rows:
            r = "   baseline" if ratios is None else f"{ratios[0]:10.2f}x {ratios[1]:6.2f}x"
            print(f"{workload:18} {contender:40} {wall:8.1f} {median:8.1f} {cpu:8.1f} {runs:4} {r}")


def best_wall(timings):
    return min(t[0] for t in timings)


def best_cpu(timings):
    return min(t[1] for t in timings)


def bar_line(text, peer, tabrix, need):
    """The verdict goes by wall time; the CPU-time ratio is shown beside it."""
    ratio = best_wall(peer) / best_wall(tabrix)
    cpu = best_cpu(peer) / best_cpu(tabrix)
    verdict = "PASS" if ratio >= need else "FAIL"
    return f"  [{verdict}] {text:58} measured {ratio:5.2f}x (cpu {cpu:5.2f}x), needs >= {need:g}x"


def timed_call(fn, *args):
    """Seconds for fn(*args) with the collector off, and its result."""
    gc.collect()
    gc.disable()
    try:
        t0 = clock()
        out = fn(*args)
        return since(t0), out
    finally:
        gc.enable()


def dumps_json(doc):
    return json.dumps(doc, separators=(",", ":"))


def measure_size(size, repeats, fill_table, json_table, bars):
    import orjson

    rows = size // COLS
    cells = rows * COLS
    texts, expected = make_texts(rows, random.Random(SEED))
    rows_of_texts = by_row(texts)
    doc = expected_document(texts, expected)
    del texts, expected

    # Repeats go round the contenders in turn, so a burst of load from elsewhere on the machine
    # lands on all of them alike. Every tabrix repeat fills a fresh book and hands that book
    # over as JSON: the first call pays for ordering the cells; a second call on the same book
    # is shown apart, for information.
    fill_s = {name: [] for name in ("tabrix", "openpyxl", "xlsxwriter", "dict")}
    json_s = {name: [] for name in ("tabrix", "tabrix_again", "json", "orjson")}
    slow_repeats = 1 if cells > 500_000 else repeats
    diff = same_text = None
    for rep in range(repeats):
        took, book = timed(fill_tabrix, rows_of_texts)
        fill_s["tabrix"].append(took)
        took, text = timed_call(book.to_json)
        json_s["tabrix"].append(took)
        if rep == 0:
            # The peers serialise a Python model of the document; tabrix's text must parse to
            # exactly that model (and, printed compactly, the model is the same text).
            diff = first_difference(json.loads(text), doc)
            same_text = dumps_json(doc) == text
        del text
        took, text = timed_call(book.to_json)
        json_s["tabrix_again"].append(took)
        del text, book
        for name, dumps in (("json", dumps_json), ("orjson", orjson.dumps)):
            took, out = timed_call(dumps, doc)
            json_s[name].append(took)
            del out
        for name in ("openpyxl", "xlsxwriter", "dict"):
            if name == "dict" or rep < slow_repeats:
                took, result = timed(FILLERS[name], rows_of_texts)
                fill_s[name].append(took)
                del result

    if diff:
        print(f"SANITY FAIL at {cells:,} cells: tabrix's JSON differs from the model: {diff}")
    else:
        print(f"sanity {cells:,} cells: tabrix's to_json() parses to the Python model document")
    verb = "is" if same_text else "is NOT"
    print(f"       compact json.dumps of the model {verb} the same text as tabrix's")

    label = f"fill {cells:,}"
    base = fill_s["tabrix"]
    for name in ("tabrix", "openpyxl", "xlsxwriter", "dict"):
        peer_of = None if name == "tabrix" else base
        fill_table.add(label, FILL_LABELS[name], fill_s[name], cells, peer_of)
    what = f"fill {cells:,}:"
    bars.append(bar_line(f"{what} at least 10x faster than openpyxl", fill_s["openpyxl"], base, 10))
    bars.append(bar_line(f"{what} no slower than the dict loop", fill_s["dict"], base, 1))

    label = f"to_json {cells:,}"
    base = json_s["tabrix"]
    json_table.add(label, "tabrix book.to_json() (fresh book)", base, cells, None)
    json_table.add(label, "json.dumps(document) (compact)", json_s["json"], cells, base)
    json_table.add(label, "orjson.dumps(document)", json_s["orjson"], cells, base)
    again = "  info: tabrix to_json() again, same book"
    json_table.add(label, again, json_s["tabrix_again"], cells, base)
    if cells >= 1_000_000:
        what = f"to_json {cells:,}: at least"
        bars.append(bar_line(f"{what} 2x faster than orjson.dumps", json_s["orjson"], base, 2))
        bars.append(bar_line(f"{what} 10x faster than json.dumps", json_s["json"], base, 10))


def measure_all_memory(cells, bars):
    print(f"\nMemory: RSS growth of filling {cells:,} cells of words (3-15 bytes), each contender")
    print("in a fresh child reading its own VmRSS before and after (peak: VmHWM, reset before)")
    head = f"{'growth B/cell':>14} {'peak B/cell':>12} {'beyond text':>12} {'vs tabrix':>10}"
    print(f"{'contender':40} {head}")
    mem = {}
    for name in ("tabrix", "openpyxl", "xlsxwriter", "dict", "tuples"):
        m = measure_memory(name, cells)
        n = m["cells"]
        # tabrix copies the text bytes into its own records; the Python peers keep references
        # to the input strings, which exist before the first reading, so nothing is subtracted.
        copied = m["text_bytes"] / n if name == "tabrix" else 0.0
        peak = "n/a" if m["peak_growth"] is None else f"{m['peak_growth'] / n:.1f}"
        mem[name] = (m["growth"] / n, m["growth"] / n - copied, peak)
        text_per_cell = m["text_bytes"] / n
    base = mem["tabrix"][1]
    for name, (growth, beyond, peak) in mem.items():
        ratio = "(baseline)" if name == "tabrix" else f"{beyond / base:.2f}x"
        print(f"{FILL_LABELS[name]:40} {growth:14.1f} {peak:>12} {beyond:12.1f} {ratio:>10}")
    print(f"  (text bytes per cell: {text_per_cell:.1f}, subtracted for tabrix alone)")
    verdict = "PASS" if base <= 64 else "FAIL"
    what = "memory: at most 64 bytes per cell beyond the text bytes"
    bars.append(f"  [{verdict}] {what:58} measured {base:5.1f} B/cell, needs <= 64")


def run(sizes, repeats):
    bars = []
    fill_table, json_table = Table(), Table()
    for size in sizes:
        measure_size(size, repeats, fill_table, json_table, bars)
        gc.collect()
    fill_table.print("Fill, ns per cell (same texts, same loop; above 1 = tabrix faster)")
    json_table.print("Hand-over as JSON, ns per cell (only the call is timed)")
    measure_all_memory(1_000_000, bars)
    print("\nBars")
    for line in bars:
        print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="200000,1000000", help="cell counts, comma-separated")
    parser.add_argument("--repeats", type=int, default=3, help="repeats for the fast contenders")
    parser.add_argument(
        "--memory-child", nargs=2, metavar=("CONTENDER", "CELLS"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    import platform

    print(
        f"Python {platform.python_version()}, {os.cpu_count()} CPUs, "
        f"load average {os.getloadavg()[0]:.2f}; {COLS} columns: {', '.join(COLUMN_KINDS)}"
    )
    run([int(s) for s in args.sizes.split(",")], args.repeats)
    load = os.getloadavg()[0]
    print(f"\nload average at the end {load:.2f} (timings are noisy when it exceeds the CPUs)")


if __name__ == "__main__":
    main()
