"""A PEP 517 build backend for the vorn_profile package, with the standard library alone.

build_wheel configures the project with CMake (the Python module on, tests off) for the
interpreter that runs the build, builds the module, installs the package folder (component
"python") into a staging directory and zips it as a wheel with its metadata. The build
directory is build/wheel-<tag> in the source tree, so a second `pip install .` only rebuilds
what changed. CMAKE_BUILD_PARALLEL_LEVEL and CMAKE_<LANG>_COMPILER_LAUNCHER (ccache) in the
environment are honoured by CMake as usual; config setting "cmake.define.NAME=VALUE" passes more
cache entries (pip: --config-settings cmake.define.CMAKE_BUILD_TYPE=Debug).
"""

from __future__ import annotations

import base64
import hashlib
import io
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional

SOURCE = Path(__file__).resolve().parents[2]
NAME = "vorn_profile"


def _version() -> str:
    text = (SOURCE / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\s*vorn_profile\s+VERSION\s+([0-9.]+)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(vorn_profile VERSION ...)")
    return found.group(1)


def _tag() -> str:
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{python}-{python}{sys.abiflags}-{platform}"


def _dist_info() -> str:
    return f"{NAME}-{_version()}.dist-info"


def _metadata() -> str:
    readme = (SOURCE / "README.md").read_text(encoding="utf-8")
    return "\n".join([
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {_version()}",
        "Summary: Queries over tiled-accelerator cycle profiles, as pandas DataFrames",
        "Requires-Python: >=3.9",
        "Requires-Dist: numpy",
        "Requires-Dist: pandas",
        "Description-Content-Type: text/markdown",
        "",
        readme,
    ])


def _write_metadata(directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "METADATA").write_text(_metadata(), encoding="utf-8")
    (directory / "WHEEL").write_text(
        f"Wheel-Version: 1.0\nGenerator: vorn_wheel\nRoot-Is-Purelib: false\nTag: {_tag()}\n")
    (directory / "top_level.txt").write_text(f"{NAME}\n")


def _defines(config_settings: Optional[Dict[str, object]]) -> List[str]:
    defines = []
    for key, value in (config_settings or {}).items():
        if key.startswith("cmake.define."):
            defines.append(f"-D{key[len('cmake.define.'):]}={value}")
    return defines


def _run(command: List[str]) -> None:
    print("vorn_wheel:", " ".join(command), file=sys.stderr, flush=True)
    subprocess.run(command, check=True, stdout=sys.stderr)


def _build_package(staging: Path, config_settings: Optional[Dict[str, object]]) -> None:
    build = SOURCE / "build" / f"wheel-{_tag()}"
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    _run(["cmake", "-S", str(SOURCE), "-B", str(build), *generator,
          "-DCMAKE_BUILD_TYPE=Release", "-DVORN_BUILD_PYTHON=ON", "-DVORN_BUILD_TESTS=OFF",
          "-DVORN_BUILD_TOOLS=ON", f"-DPython3_EXECUTABLE={sys.executable}",
          "-DVORN_PYTHON_INSTALL_DIR=.", *_defines(config_settings)])
    _run(["cmake", "--build", str(build), "--target", "vorn_profile_python"])
    _run(["cmake", "--install", str(build), "--component", "python", "--prefix", str(staging)])


def _record_line(path: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings=None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None) -> str:
    _write_metadata(Path(metadata_directory) / _dist_info())
    return _dist_info()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None) -> str:
    name = f"{NAME}-{_version()}-{_tag()}.whl"
    with tempfile.TemporaryDirectory() as temporary:
        staging = Path(temporary)
        _build_package(staging, config_settings)
        _write_metadata(staging / _dist_info())
        files = sorted(p for p in staging.rglob("*") if p.is_file())
        record = f"{_dist_info()}/RECORD"
        lines = []
        with zipfile.ZipFile(Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
            for path in files:
                relative = path.relative_to(staging).as_posix()
                data = path.read_bytes()
                info = zipfile.ZipInfo(relative, date_time=(1980, 1, 1, 0, 0, 0))
                info.external_attr = (path.stat().st_mode & 0o777 | 0o100000) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
                lines.append(_record_line(relative, data))
            lines.append(f"{record},,")
            wheel.writestr(record, "\n".join(lines) + "\n")
    return name


def build_sdist(sdist_directory, config_settings=None) -> str:
    """The files git tracks (or, outside a checkout, the tree without build/), as name-version/."""
    base = f"{NAME}-{_version()}"
    try:
        listed = subprocess.run(["git", "-C", str(SOURCE), "ls-files", "-z"], check=True,
                                capture_output=True).stdout.decode().split("\0")
        files = [SOURCE / f for f in listed if f]
    except (OSError, subprocess.CalledProcessError):
        files = [p for p in SOURCE.rglob("*")
                 if p.is_file() and "build" not in p.relative_to(SOURCE).parts[:1]
                 and ".git" not in p.relative_to(SOURCE).parts]
    name = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / name, "w:gz") as archive:
        for path in files:
            if path.is_file():
                archive.add(path, arcname=f"{base}/{path.relative_to(SOURCE).as_posix()}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return name
