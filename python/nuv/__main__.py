"""``python -m nuv``: the ``nuv`` command."""

import sys

from nuv.cli import main

sys.exit(main())
