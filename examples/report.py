"""A first look at tabrix: column letters and A1 references."""

import tabrix

print(f"tabrix {tabrix.version()}")
for col in (1, 26, 27, 702, 703, 16384, 65535):
    print(f"column {col:>5} -> {tabrix.column_number_to_letter(col)}")
for row, col in ((5, 3), (10, 27), (7, 0)):
    print(f"row {row}, column {col} -> {tabrix.get_letter_coordinate(row, col)}")
