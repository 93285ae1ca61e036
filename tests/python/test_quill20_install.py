"""make install PREFIX=DIR: everything lands under DIR, and the installed command runs from there with a
clean environment (no PYTHONPATH, no LD_LIBRARY_PATH, not even PATH)."""
import os
import subprocess
import sys
import sysconfig

import pytest


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    build = os.path.abspath(os.environ.get("VIREO20_BUILD_DIR", "build"))
    if not os.path.exists(os.path.join(build, "cmake_install.cmake")):
        pytest.skip(f"no build tree at {build}")
    root = tmp_path_factory.mktemp("install")
    result = subprocess.run(["cmake", "--install", build, "--prefix", str(root)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    written = [line.split(": ", 1)[1] for line in result.stdout.splitlines() if line.startswith(("-- Installing: ", "-- Up-to-date: "))]
    assert written and all(path.startswith(str(root) + "/") for path in written), result.stdout
    return root


def test_everything_lands_under_the_prefix_in_the_posix_prefix_scheme(prefix):
    python_dir = sysconfig.get_path("platlib", "posix_prefix", vars={"base": str(prefix), "platbase": str(prefix)})
    installed = {os.path.relpath(os.path.join(folder, name), prefix)
                 for folder, _, names in os.walk(prefix) for name in names}
    packages = os.path.relpath(python_dir, prefix)
    assert {"bin/vireo20", f"{packages}/quill20/__init__.py", f"{packages}/vireo20/cli.py"} <= installed
    # Compiled as installed, so that no start compiles them again.
    tag = sys.implementation.cache_tag
    assert {f"{packages}/quill20/__pycache__/__init__.{tag}.pyc", f"{packages}/vireo20/__pycache__/cli.{tag}.pyc"} <= installed
    modules = [name for name in installed if name.endswith(".so") and not name.startswith("lib/lib")]
    assert modules and all(name.startswith(packages + "/") for name in modules), modules
    for module in modules:  # every module, whichever piece of work added it, finds the libraries in PREFIX/lib
        needed = subprocess.run(["ldd", os.path.join(prefix, module)], capture_output=True, text=True).stdout
        ours = [line for line in needed.splitlines() if any(k in line for k in ("kernos50", "quill20", "vireo20"))]
        assert ours and all(str(prefix / "lib") in os.path.realpath(line.split()[2]) for line in ours), needed


# Under the sanitizers the uninstrumented interpreter needs their runtime preloaded: that much stays.
SANITIZER_RUNTIME = [f"{name}={os.environ[name]}" for name in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS",
                                                                 "UBSAN_OPTIONS", "PYTHONMALLOC")
                     if "libasan" in os.environ.get("LD_PRELOAD", "") and name in os.environ]


def test_the_installed_command_runs_with_a_clean_environment(prefix, tmp_path):
    out = tmp_path / "series"
    result = subprocess.run(["env", "-i", *SANITIZER_RUNTIME, str(prefix / "bin" / "vireo20"), "upscale", "--steps", "2", "--clusters", "20",
                             "--out", str(out)], capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-3000:]
    assert any(name.endswith(".pvd") for name in os.listdir(out))
    # The modules it ran came from the prefix, not from the build tree or the system.
    where = subprocess.run(["env", "-i", *SANITIZER_RUNTIME, sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                            "import quill20, _vireo20upscaling; print(quill20._quill20.__file__, "
                            "_vireo20upscaling.__file__)",
                            sysconfig.get_path("platlib", "posix_prefix", vars={"base": str(prefix),
                                                                                "platbase": str(prefix)})],
                           capture_output=True, text=True)
    assert where.returncode == 0 and all(path.startswith(str(prefix)) for path in where.stdout.split()), where
