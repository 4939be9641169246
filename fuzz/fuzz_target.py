"""Coverage-guided fuzzing of one trakora function with atheris.

    python fuzz/fuzz_target.py --function=rs_draw_tracks [libFuzzer options] [corpus dirs]

Run it through fuzz/run.sh or fuzz/ci.sh: they build the module with sanitizer coverage,
AddressSanitizer and UndefinedBehaviorSanitizer and preload the matching runtime, so that
the fuzzer sees the branches of the native code, not only those of the Python decoder.
"""
import os
import shlex
import sys

import atheris

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports(include=["inputs"]):
    import inputs

import trakora  # noqa: E402  (after the decoder, which is instrumented)


def main():
    # --function stays in argv: libFuzzer ignores it with a warning and passes it on to
    # the child processes it starts (for -merge, -fork), which need it too.
    names = [a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--function=")]
    if len(names) != 1 or names[0] not in inputs.FUNCTIONS:
        sys.exit(f"usage: {sys.argv[0]} --function=NAME [libFuzzer options] [corpus...]; NAME one of "
                 + ", ".join(inputs.FUNCTIONS))
    name = names[0]

    def test_one_input(data: bytes):
        inputs.run_one(trakora, name, data)

    # libFuzzer starts its child processes through the shell with argv[0] as the command.
    command = " ".join(shlex.quote(part) for part in (sys.executable, os.path.abspath(sys.argv[0])))
    atheris.Setup([command] + sys.argv[1:], test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
