"""``python -m tabrix``: the tabrix command line."""

from tabrix.cli import main

raise SystemExit(main())
