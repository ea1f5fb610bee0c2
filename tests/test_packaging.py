"""Building the wheel from a read-only copy of the source tree."""

import importlib.util
import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
LEFT_OUT = shutil.ignore_patterns(".git", ".venv*", "build", "dist", "__pycache__", ".*_cache", ".hypothesis", "*.so")


def listing(tree):
    return sorted((str(p.relative_to(tree)), p.stat().st_size) for p in tree.rglob("*"))


def set_writable(tree, writable):
    for path in [tree, *tree.rglob("*")]:
        path.chmod(path.stat().st_mode | 0o200 if writable else path.stat().st_mode & ~0o222)


@pytest.mark.skipif(not (ROOT / "pyproject.toml").is_file(), reason="needs the source tree")
def test_wheel_from_read_only_tree_leaves_it_alone_and_carries_the_license(tmp_path):
    if not all(importlib.util.find_spec(m) for m in ("scikit_build_core", "cmake", "ninja")):
        pytest.skip("needs scikit-build-core, cmake and ninja in this environment to build without isolation")
    tree = tmp_path / "tree"
    shutil.copytree(ROOT, tree, ignore=LEFT_OUT)
    before = listing(tree)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the sanitizer's runtime is not for the build
    env["PATH"] = f"{Path(sys.executable).parent}:{env['PATH']}"
    build = [sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "-w", tmp_path, tree]
    set_writable(tree, False)
    try:
        proc = subprocess.run(build, capture_output=True, text=True, env=env, timeout=600)
    finally:
        set_writable(tree, True)
    assert proc.returncode == 0, proc.stderr
    assert listing(tree) == before  # root may write where the mode forbids it, so compare what is there
    (wheel,) = tmp_path.glob("varnok-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        (license_file,) = [n for n in archive.namelist() if n.endswith(".dist-info/licenses/LICENSE")]
        assert archive.read(license_file) == (ROOT / "LICENSE").read_bytes()
        metadata = archive.read(license_file.replace("licenses/LICENSE", "METADATA")).decode()
    assert "License-Expression: MIT\n" in metadata and "License-File: LICENSE\n" in metadata
