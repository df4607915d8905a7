"""`python -m zorvia`: the package's command line."""

import sys

from zorvia.cli import main

if __name__ == "__main__":
    sys.exit(main())
