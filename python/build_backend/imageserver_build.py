"""Builds the package's wheel and source archive with the standard library.

The package is pure Python, so building it needs no more than zip and tar.
Building it here, rather than through setuptools, means `pip install ./python`
works on a machine that cannot reach a package index: pip's isolated build
environment has nothing to install. The project's metadata is read from
pyproject.toml's [project] table (tomllib, or tomli before Python 3.11).

Implements the build hooks pip calls: build_wheel, build_sdist and
build_editable, with the optional get_requires_* and prepare_metadata_*
hooks that say nothing more is needed.
"""
import base64
import hashlib
import io
import os
import tarfile
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11; pyproject.toml asks for tomli there
    import tomli as tomllib

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_PACKAGE = "imageserver"
# A fixed time for archive entries, so that a build is reproducible.
_EPOCH = (1980, 1, 1, 0, 0, 0)


def _project():
    with open(os.path.join(_ROOT, "pyproject.toml"), "rb") as handle:
        return tomllib.load(handle)["project"]


def _metadata(project):
    lines = [
        "Metadata-Version: 2.1",
        "Name: " + project["name"],
        "Version: " + project["version"],
        "Summary: " + project.get("description", ""),
        "License: " + project.get("license", {}).get("text", ""),
        "Requires-Python: " + project.get("requires-python", ""),
    ]
    lines += ["Requires-Dist: " + d for d in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append("Provides-Extra: " + extra)
        lines += ['Requires-Dist: %s; extra == "%s"' % (r, extra) for r in requirements]
    lines.append("Description-Content-Type: text/markdown")
    with open(os.path.join(_ROOT, project.get("readme", "README.md")), encoding="utf-8") as f:
        return "\n".join(lines) + "\n\n" + f.read()


def _dist_info(project):
    return "%s-%s.dist-info" % (project["name"], project["version"])


def _package_files():
    folder = os.path.join(_ROOT, _PACKAGE)
    for name in sorted(os.listdir(folder)):
        if name.endswith(".py"):
            yield _PACKAGE + "/" + name, os.path.join(folder, name)


def _write_wheel(wheel_directory, entries):
    """Writes a wheel of |entries| (archive name -> bytes), adding its RECORD."""
    project = _project()
    dist_info = _dist_info(project)
    entries[dist_info + "/METADATA"] = _metadata(project).encode("utf-8")
    entries[dist_info + "/WHEEL"] = (
        b"Wheel-Version: 1.0\nGenerator: imageserver_build\nRoot-Is-Purelib: true\n"
        b"Tag: py3-none-any\n"
    )
    record = []
    for name, data in entries.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        record.append("%s,sha256=%s,%d" % (name, digest.decode("ascii"), len(data)))
    record.append(dist_info + "/RECORD,,")
    entries[dist_info + "/RECORD"] = ("\n".join(record) + "\n").encode("utf-8")

    wheel_name = "%s-%s-py3-none-any.whl" % (project["name"], project["version"])
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name, _EPOCH)
            info.external_attr = 0o644 << 16
            wheel.writestr(info, data, zipfile.ZIP_DEFLATED)
    return wheel_name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    folder = os.path.join(metadata_directory, _dist_info(project))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "METADATA"), "w", encoding="utf-8") as handle:
        handle.write(_metadata(project))
    return _dist_info(project)


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    entries = {}
    for name, path in _package_files():
        with open(path, "rb") as handle:
            entries[name] = handle.read()
    return _write_wheel(wheel_directory, entries)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # A .pth file puts the source folder on sys.path, so edits take effect
    # without reinstalling.
    return _write_wheel(wheel_directory, {_PACKAGE + "_editable.pth": (_ROOT + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = "%s-%s" % (project["name"], project["version"])
    names = ["pyproject.toml", project.get("readme", "README.md"),
             "build_backend/imageserver_build.py"]
    names += [name for name, _ in _package_files()]
    archive = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, archive), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for name in names:
            with open(os.path.join(_ROOT, name), "rb") as handle:
                data = handle.read()
            info = tarfile.TarInfo(base + "/" + name)
            info.size = len(data)
            info.mode = 0o644
            tar.addfile(info, io.BytesIO(data))
        pkg_info = _metadata(project).encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(pkg_info))
    return archive
