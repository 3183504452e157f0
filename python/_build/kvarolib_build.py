"""The package's build backend: builds kvAroLib's shared library with CMake from the repository this
folder sits in and puts it inside the wheel, so that `pip install ./python` needs nothing but CMake,
Ninja (or make) and a C++20 compiler. Standard library only, so that it builds offline with no build
requirements to fetch.

Environment: KVLIB_SOURCE_DIR (the repository, default: the parent of this package's folder),
KVLIB_BUILD_DIR (a CMake build directory to use and keep, default: a temporary one),
KVLIB_PREBUILT (a shared library to take instead of building one).
"""

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent.parent  # the python/ folder
NAME = "kvarolib"
LIBRARY = "kvAroLib.dll" if os.name == "nt" else "libkvarolib.so.1"


def _version():
    text = (HERE / NAME / "__init__.py").read_text(encoding="utf-8")
    return re.search(r'^__version__ = "([^"]+)"', text, re.M).group(1)


def _metadata():
    readme = (HERE / "README.md").read_text(encoding="utf-8")
    return (
        "Metadata-Version: 2.1\n"
        "Name: %s\n"
        "Version: %s\n"
        "Summary: The VORI KQ Controller from Python, over the kvAroLib device library\n"
        "Requires-Python: >=3.9\n"
        "Description-Content-Type: text/markdown\n"
        "\n%s" % (NAME, _version(), readme)
    )


def _tag():
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    return "py3-none-%s" % platform


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _build_library(workdir):
    prebuilt = os.environ.get("KVLIB_PREBUILT")
    if prebuilt:
        return Path(prebuilt)
    source = Path(os.environ.get("KVLIB_SOURCE_DIR") or HERE.parent)
    if not (source / "devicelib" / "include" / "kvarolib.h").exists():
        raise RuntimeError("kvAroLib's sources are not at %s (set KVLIB_SOURCE_DIR)" % source)
    build = Path(os.environ.get("KVLIB_BUILD_DIR") or (Path(workdir) / "cmake-build"))
    configure = ["cmake", "-S", str(source), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DKVLIB_BUILD_TESTS=OFF", "-DKVLIB_BUILD_BENCH=OFF", "-DKVLIB_BUILD_EXAMPLES=OFF"]
    if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    # pip may hide the output; what goes to stderr shows when the build fails.
    subprocess.run(configure, check=True, stdout=sys.stderr)
    subprocess.run(["cmake", "--build", str(build), "--target", "kvarolib_shared", "--config", "Release"],
                   check=True, stdout=sys.stderr)
    found = sorted(p for p in build.rglob(LIBRARY) if p.is_file())
    if not found:
        raise RuntimeError("the build made no %s" % LIBRARY)
    return found[0]


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def _wheel_file(tag):
    return "Wheel-Version: 1.0\nGenerator: kvarolib_build\nRoot-Is-Purelib: false\nTag: %s\n" % tag


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    # Metadata without building the library first.
    dist_info = "%s-%s.dist-info" % (NAME, _version())
    target = Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    (target / "METADATA").write_text(_metadata(), encoding="utf-8")
    (target / "WHEEL").write_text(_wheel_file(_tag()), encoding="utf-8")
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    version = _version()
    tag = _tag()
    dist_info = "%s-%s.dist-info" % (NAME, version)
    wheel_name = "%s-%s-%s.whl" % (NAME, version, tag)
    with tempfile.TemporaryDirectory() as work:
        library = _build_library(work)
        files = []
        for path in sorted((HERE / NAME).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix in (".py", ".typed"):
                files.append((path.relative_to(HERE).as_posix(), path.read_bytes()))
        # The real file, under the name the loader looks for (not a symbolic link).
        files.append(("%s/_native/%s" % (NAME, LIBRARY), Path(library).resolve().read_bytes()))
        files.append(("%s/METADATA" % dist_info, _metadata().encode("utf-8")))
        files.append(("%s/WHEEL" % dist_info, _wheel_file(tag).encode()))
        record = [_record_line(n, d) for n, d in files] + ["%s/RECORD,," % dist_info]
        files.append(("%s/RECORD" % dist_info, ("\n".join(record) + "\n").encode()))
        target = Path(wheel_directory) / wheel_name
        with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as wheel:
            for name, data in files:
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = (0o755 if name.endswith(LIBRARY) else 0o644) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                wheel.writestr(info, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    raise RuntimeError("kvarolib is built from the repository: pip install ./python")
