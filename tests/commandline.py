"""Running the trakora command in a subprocess, as the tests of the command do."""
import os
import subprocess
import sys
from pathlib import Path

import trakora
import trakora_workflow


def cli_env():
    """The environment of a subprocess that imports the package from this checkout."""
    paths = [str(Path(trakora_workflow.__file__).parents[1]), str(Path(trakora.__file__).parent)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))


def run_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "trakora_workflow", *map(str, args)], capture_output=True,
                          text=True, env=cli_env(), cwd=cwd, timeout=300)


def one_line_error(proc):
    assert proc.returncode != 0
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("trakora: error:"), proc.stderr
    return lines[0]
