import sys

from .cli import main

if __name__ == "__main__":   # Dask's spawned workers import this module under another name
    sys.exit(main())
