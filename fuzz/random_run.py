"""The fuzz decoder driven by a seeded random generator instead of a coverage-guided engine.

    python fuzz/random_run.py --function=NAME [--seconds=S] [--seed=N] [corpus dirs or files]

Replays the given corpus files first, then random byte strings until the time is up.
Used by fuzz/ci.sh when no fuzzing engine can be installed, and handy for replaying a
corpus against any build. A call that outlives --timeout seconds ends the process with a
traceback (a native hang holds the interpreter lock, so only a watchdog thread can tell).
Exits non-zero at the first finding, printing the input as hex.
"""
import argparse
import collections
import faulthandler
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import inputs  # noqa: E402
import trakora  # noqa: E402


def corpus_files(paths):
    for path in paths:
        if os.path.isdir(path):
            for entry in sorted(os.listdir(path)):
                yield os.path.join(path, entry)
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--function", required=True, choices=inputs.FUNCTIONS)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--max-len", type=int, default=1024)
    parser.add_argument("--timeout", type=float, default=20.0)
    parser.add_argument("corpus", nargs="*")
    args = parser.parse_args()

    outcomes = collections.Counter()

    def one(data: bytes, origin: str):
        faulthandler.dump_traceback_later(args.timeout, exit=True)
        try:
            outcomes[inputs.run_one(trakora, args.function, data)] += 1
        except inputs.Finding:
            print(f"FINDING in {args.function} from {origin}; input (hex): {data.hex()}", file=sys.stderr)
            raise
        finally:
            faulthandler.cancel_dump_traceback_later()

    for path in corpus_files(args.corpus):
        with open(path, "rb") as f:
            one(f.read(), path)
    replayed = sum(outcomes.values())
    rng = random.Random(args.seed)
    deadline = time.monotonic() + args.seconds
    while time.monotonic() < deadline:
        length = rng.choice((rng.randrange(16), rng.randrange(args.max_len)))
        one(rng.randbytes(length), f"seed {args.seed}")
    total = sum(outcomes.values())
    print(f"{args.function}: {replayed} corpus inputs and {total - replayed} random inputs, no finding; "
          + ", ".join(f"{k} {v}" for k, v in sorted(outcomes.items())))


if __name__ == "__main__":
    main()
