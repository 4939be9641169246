"""Builds the C++ kernel tests with CMake and runs them."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="session")
def cpp_test_binary(tmp_path_factory):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not available")
    build = Path(os.environ.get("TRAKORA_CPP_TEST_BUILD", tmp_path_factory.mktemp("cpp-build")))
    configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DTRAKORA_BUILD_CPP_TESTS=ON",
                 f"-DPython_EXECUTABLE={sys.executable}"]
    if os.environ.get("TRAKORA_SANITIZE") == "1":
        configure.append("-DTRAKORA_SANITIZE=ON")
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True, text=True)
    subprocess.run(["cmake", "--build", str(build), "--target", "trakora_cpp_tests", "-j2"],
                   check=True, capture_output=True, text=True)
    return build / "trakora_cpp_tests"


@pytest.mark.parametrize("threads", ["1", "3"])
def test_cpp_kernels(cpp_test_binary, threads):
    env = dict(os.environ, TRAKORA_NUM_THREADS=threads)
    result = subprocess.run([str(cpp_test_binary)], capture_output=True, text=True, timeout=600, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
