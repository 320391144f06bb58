"""Sequential Python references for the cell searches: front-to-back scans over (row, col, text),
and the argument strategies the property tests draw for each search."""

from hypothesis import strategies as st

WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def trim(s):
    return s.strip(WHITE_SPACE)


def contains(pattern):
    return lambda c: pattern in c[2]


def equals(value):
    want = trim(value)
    return lambda c: trim(c[2]) == want


def first(cells, pred):
    return next((c for c in cells if pred(c)), None)


def every(cells, pred):
    return [c for c in cells if pred(c)]


def pairs(cells, before, after):
    out, rows, is_open = [], [], False
    for c in cells:
        if not is_open and before in c[2]:
            is_open = True
            out.append(c)
        elif is_open and after in c[2]:
            is_open = False
            out.append(c)
    return out


def between(cells, before, after):
    rows = [c[0] for c in pairs(cells, before, after)]
    if not rows:
        return []
    lo, hi = rows[0], rows[1] if len(rows) > 1 else 2**32 - 1
    return [c for c in cells if lo <= c[0] <= hi]


def search(name, cells, *args):
    """What the search `name` returns for the list `cells` of (row, col, text) tuples."""
    if name == "find_cell_by_regex":
        return first(cells, contains(args[0]))
    if name == "find_cells_by_regex":
        return every(cells, contains(args[0]))
    if name == "find_cell_by_str":
        return first(cells, equals(args[0]))
    if name == "find_cells_by_str":
        return every(cells, equals(args[0]))
    if name == "find_cells_for_rows_by_regex":
        return every(cells, lambda c: c[1] <= args[1] and args[0] in c[2])
    if name == "find_cells_for_cols_by_regex":
        return every(cells, lambda c: c[0] <= args[1] and args[0] in c[2])
    if name == "find_cells_multi_regex":
        return pairs(cells, *args)
    if name == "find_cells_between_regex":
        return between(cells, *args)
    if name == "find_cells_range_rows":
        return every(cells, lambda c: args[0] <= c[0] <= args[1])
    if name == "find_cells_range_cols":
        return every(cells, lambda c: args[0] <= c[1] <= args[1])
    if name == "find_cell_by_coords":
        return first(cells, lambda c: (c[0], c[1]) == (args[0], args[1]))
    if name == "find_values_by_col_rows":
        return [c[2] for c in cells if c[1] == args[0] and c[0] in args[1]]
    if name == "find_values_by_row_cols":
        return [c[2] for c in cells if c[0] == args[0] and c[1] in args[1]]
    raise KeyError(name)


def arg_strategies(patterns, rows, cols):
    """{search name: strategies of its arguments after the cell source}, for cells whose rows and
    columns `rows` and `cols` draw from."""
    return {
        "find_cell_by_coords": (rows, cols),
        "find_value_by_coords": (rows, cols),
        "find_cell_by_regex": (patterns,),
        "find_cell_by_str": (patterns,),
        "find_cells_by_regex": (patterns,),
        "find_cells_by_str": (patterns,),
        "find_cells_for_rows_by_regex": (patterns, cols),
        "find_cells_for_cols_by_regex": (patterns, rows),
        "find_cells_multi_regex": (patterns, patterns),
        "find_cells_between_regex": (patterns, patterns),
        "find_cells_range_rows": (rows, rows),
        "find_cells_range_cols": (cols, cols),
        "find_values_by_col_rows": (cols, st.lists(rows, max_size=4)),
        "find_values_by_row_cols": (rows, st.lists(cols, max_size=4)),
    }
