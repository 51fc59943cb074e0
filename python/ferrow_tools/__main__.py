"""`python -m ferrow_tools` is `ferrow-admin`."""

import sys

from .admin.cli import main

if __name__ == "__main__":
    sys.exit(main())
