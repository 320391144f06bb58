"""tabrix: build workbooks cell by cell and hand them over as one JSON document, and search
loaded worksheets fast on a pool of worker threads.

The extension module ``_tabrix`` does the work; this package re-exports every name it lists.
``import tabrix.readable`` gives the very submodule object ``_tabrix.readable``.
"""

import _tabrix
from _tabrix import *  # noqa: F403

__all__ = list(_tabrix.__all__)
__version__ = _tabrix.__version__
