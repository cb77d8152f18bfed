"""python -m tagmire: the command line."""

import sys

from tagmire._cli import main

sys.exit(main())
