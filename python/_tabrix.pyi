"""Type information for the extension module `_tabrix`; the package `tabrix` re-exports it."""

from tabrix import DEFAULT_COLUMN_WIDTH as DEFAULT_COLUMN_WIDTH
from tabrix import DEFAULT_ROW_HEIGHT as DEFAULT_ROW_HEIGHT
from tabrix import Book as Book
from tabrix import Cell as Cell
from tabrix import Comment as Comment
from tabrix import Service as Service
from tabrix import Sheet as Sheet
from tabrix import __version__ as __version__
from tabrix import column_number_to_letter as column_number_to_letter
from tabrix import get_letter_coordinate as get_letter_coordinate
from tabrix import readable as readable
from tabrix import version as version

__all__: list[str]
