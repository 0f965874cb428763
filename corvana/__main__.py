"""python -m corvana: the command line (see corvana._cli, or python -m corvana --help)."""
import sys

from corvana._cli import main

if __name__ == "__main__":
    sys.exit(main())
