"""The ``tabrix`` command line (also ``python -m tabrix``).

``tabrix grep PATTERN FILE.xlsx...``
    Print every cell whose display text contains PATTERN (a literal text, not a regular
    expression; ``-x`` for equality after trimming white space), one line per cell::

        FILE:SHEET!A1<TAB>display text

    Tabs, line breaks and backslashes inside the fields are written as ``\\t``, ``\\n``, ``\\r``
    and ``\\\\``, so every match is exactly one line. ``--json`` writes one JSON object per match
    instead: ``{"file", "sheet", "cell", "row", "column", "value"}``.

    ``--sheet REGEX`` keeps every sheet whose name contains a match of the regular expression
    (Python's ``re`` syntax, unanchored; ``^``/``$`` anchor to the name). Unlike
    ``Finder.find_sheet_by_regex``, which picks the first such sheet, all of them are searched,
    and sheets left out are never parsed. ``--rows A:B`` and ``--cols A:B`` keep only matches
    inside those bands (inclusive; either end may be left open, columns may be letters).

    Files are opened read-only with cached formula values, so a formula cell is found by the
    value it showed when the file was last saved. Exit status: 0 when a cell was found, 1 when
    none was, 2 when a file could not be read or an argument was wrong (files that can be read
    are still searched).

``tabrix render DOC.json OUT.xlsx [--styles STYLES.json]``
    Write a workbook JSON document (as ``Book.to_json`` makes it) to an .xlsx file.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import sys
import time
import zipfile
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TextIO

import tabrix
import tabrix.readable
from tabrix.sources import from_openpyxl

__all__ = ["main"]

PROG = "tabrix"
_MAX_ROW = 2**32 - 1
_MAX_COL = 2**16 - 1


class CommandError(Exception):
    """A failure reported as one line, ``tabrix: error: ...``, with exit status 2."""


def _error(message: str) -> None:
    print(f"{PROG}: error: {message}", file=sys.stderr)


# --- argument types ---------------------------------------------------------------------------


def _column_number(text: str) -> int:
    if text.isdigit():
        return int(text)
    letters = text.upper()
    if not letters.isascii() or not letters.isalpha() or len(letters) > 3:
        raise ValueError(text)
    number = 0
    for letter in letters:
        number = number * 26 + ord(letter) - ord("A") + 1
    return number


def _band(convert: Callable[[str], int], limit: int, what: str) -> Callable[[str], tuple[int, int]]:
    """An argparse type reading 'A:B', 'A:', ':B' or 'N' into inclusive bounds."""

    def read(text: str) -> tuple[int, int]:
        first, sep, last = (part.strip() for part in text.partition(":"))
        try:
            if sep:
                low = convert(first) if first else 0
                high = convert(last) if last else limit
            else:
                low = high = convert(first)
            if low < 0 or high < 0:
                raise ValueError(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected {what} as A:B, A:, :B or N, got {text!r}"
            ) from None
        if low > limit or high > limit:
            raise argparse.ArgumentTypeError(f"{what} beyond {limit} in {text!r}")
        return low, high

    return read


def _sheet_pattern(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text)
    except re.error as exc:
        raise argparse.ArgumentTypeError(f"invalid regular expression {text!r}: {exc}") from None


# --- output -----------------------------------------------------------------------------------

_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def _field(text: str) -> str:
    """The text with the characters that would break a line of output written as escapes."""
    if "\\" in text or "\t" in text or "\n" in text or "\r" in text:
        return text.translate(_ESCAPES)
    return text


def _utf8(stream: TextIO) -> bool:
    return (getattr(stream, "encoding", None) or "").lower().replace("-", "") == "utf8"


# --- grep -------------------------------------------------------------------------------------


_WORKBOOK_SUFFIXES = (".xlsx", ".xlsm", ".xltx", ".xltm")


def _open_workbook(path: str) -> Any:
    import openpyxl  # type: ignore[import-untyped]  # openpyxl ships without type information

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory")
    suffix = os.path.splitext(path)[1]
    if suffix.lower() not in _WORKBOOK_SUFFIXES:
        ending = f"file name ends in {suffix!r}" if suffix else "file name without a suffix"
        raise CommandError(f"{path}: not an .xlsx workbook ({ending})")
    try:
        return openpyxl.load_workbook(path, read_only=True, data_only=True, keep_links=False)
    except OSError as exc:
        raise CommandError(f"{path}: {exc.strerror or exc}") from None
    except zipfile.BadZipFile:
        raise CommandError(f"{path}: not an .xlsx workbook (not a zip archive)") from None
    except Exception as exc:  # openpyxl reports damaged parts with many exception types
        raise CommandError(f"{path}: not a readable .xlsx workbook ({_reason(exc)})") from None


def _reason(exc: BaseException) -> str:
    lines = str(exc).strip().splitlines()
    return lines[0] if lines else type(exc).__name__


def _search(
    args: argparse.Namespace, path: str
) -> Iterator[tuple[str, tabrix.readable.ReadableCell]]:
    """(sheet name, cell) of every match in one file, in sheet order then row-major order.

    One sheet at a time is copied and searched, so only one sheet's cells are held at once.
    """
    book = _open_workbook(path)
    try:
        names = [ws.title for ws in book.worksheets]
        if args.sheet is not None:
            names = [name for name in names if args.sheet.search(name)]
        for name in names:
            try:
                source = from_openpyxl(book, sheets=[name])
            except Exception as exc:  # a damaged part shows only once the sheet is parsed
                raise CommandError(
                    f"{path}: not a readable .xlsx workbook "
                    f"(sheet {name!r}: {type(exc).__name__}: {_reason(exc)})"
                ) from None
            sheet = tabrix.readable.Finder(source).sheets[0]
            del source
            if args.exact:
                found = sheet.find_cells_by_str(args.pattern)
            else:
                found = sheet.find_cells_by_regex(args.pattern)
            for cell in found:
                if args.rows is not None and not args.rows[0] <= cell.row <= args.rows[1]:
                    continue
                if args.cols is not None and not args.cols[0] <= cell.column <= args.cols[1]:
                    continue
                yield name, cell
    finally:
        book.close()


def _grep(args: argparse.Namespace) -> int:
    out = sys.stdout
    if not args.json and hasattr(out, "reconfigure"):
        out.reconfigure(errors="backslashreplace")
    ascii_json = not _utf8(out)
    progress = not args.quiet and (len(args.files) > 1 or sys.stderr.isatty())
    total = 0
    failed = False
    for number, path in enumerate(args.files, 1):
        started = time.perf_counter()
        count = 0
        try:
            for sheet_name, cell in _search(args, path):
                count += 1
                if args.count:
                    continue
                if args.json:
                    record = {
                        "file": path,
                        "sheet": sheet_name,
                        "cell": cell.letter,
                        "row": cell.row,
                        "column": cell.column,
                        "value": cell.value,
                    }
                    out.write(json.dumps(record, ensure_ascii=ascii_json) + "\n")
                else:
                    where = f"{_field(path)}:{_field(sheet_name)}!{cell.letter}"
                    out.write(f"{where}\t{_field(cell.value)}\n")
        except CommandError as exc:
            _error(str(exc))
            failed = True
            continue
        total += count
        if args.count:
            if args.json:
                tally = {"file": path, "count": count}
                out.write(json.dumps(tally, ensure_ascii=ascii_json) + "\n")
            else:
                out.write(f"{_field(path)}\t{count}\n")
        if progress:
            out.flush()
            seconds = time.perf_counter() - started
            print(
                f"{PROG}: [{number}/{len(args.files)}] {path}: {count} found ({seconds:.1f} s)",
                file=sys.stderr,
                flush=True,
            )
    if failed:
        return 2
    return 0 if total else 1


# --- render -----------------------------------------------------------------------------------


def _read_json(path: str, what: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as stream:
            loaded = json.load(stream)
    except OSError as exc:
        raise CommandError(f"{path}: {exc.strerror or exc}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise CommandError(f"{path}: not a JSON {what} ({exc})") from None
    if not isinstance(loaded, dict):
        raise CommandError(f"{path}: not a JSON {what} (a {type(loaded).__name__}, not an object)")
    return loaded


def _render(args: argparse.Namespace) -> int:
    document = _read_json(args.document, "document")
    styles = _read_json(args.styles, "style table") if args.styles is not None else None
    try:
        xlsx = importlib.import_module("tabrix.xlsx")
        from xlsxwriter.exceptions import XlsxWriterException  # type: ignore[import-untyped]
    except ImportError as exc:
        raise CommandError(f"render needs XlsxWriter ({exc}); install tabrix[xlsx]") from None
    try:
        xlsx.write(document, args.output, styles=styles)
    except OSError as exc:
        raise CommandError(f"{args.output}: {exc.strerror or exc}") from None
    except XlsxWriterException as exc:  # the file could not be created, among others
        cause = exc.args[0] if exc.args else None
        reason = cause.strerror if isinstance(cause, OSError) and cause.strerror else _reason(exc)
        raise CommandError(f"{args.output}: {reason}") from None
    except (TypeError, ValueError, KeyError) as exc:  # what the document holds cannot be written
        raise CommandError(f"{args.document}: cannot render ({_reason(exc)})") from None
    return 0


# --- entry point ------------------------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Search .xlsx files for cell texts; render workbook JSON documents to .xlsx.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {tabrix.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    grep = commands.add_parser(
        "grep",
        help="print the cells whose text contains PATTERN",
        description="Print every cell whose display text contains PATTERN (a literal text), "
        "as FILE:SHEET!CELL<TAB>TEXT. Exit status 0: found, 1: nothing found, 2: error.",
    )
    grep.add_argument("pattern", metavar="PATTERN", help="literal text to look for")
    grep.add_argument("files", metavar="FILE", nargs="+", help=".xlsx workbooks")
    grep.add_argument(
        "-x", "--exact", action="store_true",
        help="whole cell text equal to PATTERN (leading and trailing white space ignored)",
    )
    grep.add_argument(
        "--sheet", type=_sheet_pattern, metavar="REGEX",
        help="only sheets whose name contains a match of this regular expression",
    )
    grep.add_argument(
        "--rows", type=_band(int, _MAX_ROW, "rows"), metavar="A:B",
        help="only rows A to B (inclusive; A: and :B leave one end open)",
    )
    grep.add_argument(
        "--cols", type=_band(_column_number, _MAX_COL, "columns"), metavar="A:B",
        help="only columns A to B, as numbers or letters (B:D)",
    )
    grep.add_argument(
        "-c", "--count", action="store_true", help="print only the number of matches per file"
    )
    grep.add_argument("--json", action="store_true", help="one JSON object per line")
    grep.add_argument(
        "-q", "--quiet", action="store_true", help="no progress lines on standard error"
    )
    grep.set_defaults(run=_grep)

    render = commands.add_parser(
        "render",
        help="write a workbook JSON document to an .xlsx file",
        description="Write a workbook JSON document (as Book.to_json makes it) to an .xlsx file.",
    )
    render.add_argument("document", metavar="DOC.json")
    render.add_argument("output", metavar="OUT.xlsx")
    render.add_argument("--styles", metavar="STYLES.json", help="style table, a JSON object")
    render.set_defaults(run=_render)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_usage(sys.stderr)
        _error("a command is required (grep or render)")
        return 2
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except CommandError as exc:
        _error(str(exc))
        return 2
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, without a second error at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
