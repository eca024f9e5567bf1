"""python -m vornkit: the `vornkit` command."""

import sys

from .cli import main

sys.exit(main())
