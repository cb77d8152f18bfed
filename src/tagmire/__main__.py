"""python -m tagmire: the command line."""

import sys

from tagmire._cli import main

if __name__ == "__main__":
    sys.exit(main())
