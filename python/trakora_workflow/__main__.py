import sys

try:
    from .cli import main
except KeyboardInterrupt:      # Ctrl-C while the command starts: one line, as later
    sys.stderr.write("trakora: interrupted\n")
    sys.exit(130)

if __name__ == "__main__":   # Dask's spawned workers import this module under another name
    sys.exit(main())
