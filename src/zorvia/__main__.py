"""`python -m zorvia`: the package's command line."""

import sys

from zorvia.cli import main

sys.exit(main())
