"""The installed layout of the distribution: what the wheel holds and how the modules find the SDK.

pip installs a project by building its wheel and unpacking it, and records every file of that
wheel in the distribution's RECORD, so an installed distribution shows the wheel's contents
exactly. Where the package is used from a staged build instead (PYTHONPATH, no distribution
metadata), the same layout is checked on the directories.
"""

import importlib.metadata
import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import zorvsdk
import zorvsim

MODULES = ["context", "errors", "monitor", "trigger", "zorv", "acquisition", "chip", "bias", "cooling",
           "board", "identity", "revision", "syncmode", "axi", "flashmem", "configuration", "sinks"]
ROOT = Path(zorvsdk.__file__).resolve().parent.parent
RUNPATH = "$ORIGIN/../zorvsdkpy.libs"

DT_NEEDED, DT_RPATH, DT_RUNPATH = 1, 15, 29
SHT_DYNAMIC = 6


def dynamic_entries(path):
    """(tag, text) of the string-valued entries of an ELF64 little-endian file's dynamic section."""
    data = Path(path).read_bytes()
    assert data[:4] == b"\x7fELF" and data[4] == 2 and data[5] == 1, f"{path} is not a 64-bit LE ELF file"
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    dynamic = [s for s in sections if s[1] == SHT_DYNAMIC]
    assert len(dynamic) == 1, f"{path} has no dynamic section"
    _, _, _, _, offset, size, link, _, _, entsize = dynamic[0]
    strtab = sections[link][4]

    def text(at):
        end = data.index(b"\0", strtab + at)
        return data[strtab + at:end].decode()

    entries = []
    for pos in range(offset, offset + size, entsize):
        tag, value = struct.unpack_from("<qQ", data, pos)
        if tag == 0:
            break
        if tag in (DT_NEEDED, DT_RPATH, DT_RUNPATH):
            entries.append((tag, text(value)))
    return entries


def distribution():
    try:
        dist = importlib.metadata.distribution("zorvsdkpy")
    except importlib.metadata.PackageNotFoundError:
        return None
    # Only the distribution that provides the zorvsdk imported here counts.
    return dist if Path(dist.locate_file("zorvsdk")).resolve() == ROOT / "zorvsdk" else None


def module_file(name):
    found = sorted((ROOT / "zorvsdk").glob(f"{name}.cpython-*.so")) + sorted((ROOT / "zorvsdk").glob(f"{name}.abi3.so"))
    assert len(found) == 1, f"zorvsdk/{name}: {found}"
    return found[0]


def installed_files():
    """The distribution's files relative to site-packages: its RECORD, or the staged directories."""
    dist = distribution()
    if dist is None:
        return {p.relative_to(ROOT).as_posix() for d in ("zorvsdk", "zorvsdkpy.libs", "zorvsim")
                for p in (ROOT / d).rglob("*") if p.is_file()}
    # Besides site-packages, only the console script (in the environment's bin/).
    return {f.as_posix() for f in dist.files if not f.as_posix().startswith(("zorvsdkpy-", "../"))}


def test_the_wheel_holds_the_package_the_library_the_stubs_and_zorvsim():
    files = {f for f in installed_files() if "__pycache__" not in f}  # bytecode is written on install
    modules = {module_file(m).relative_to(ROOT).as_posix() for m in MODULES}
    stubs = {f"zorvsdk/{m}.pyi" for m in MODULES}
    assert modules <= files
    assert stubs | {"zorvsdk/py.typed", "zorvsdk/__init__.py", "zorvsim/__init__.py"} <= files
    assert {f for f in files if f.startswith("zorvsdkpy.libs/")} == {"zorvsdkpy.libs/libZorvSdk.so"}
    # Nothing else: no stray extension module or stub, no sources, nothing outside the three folders.
    package = {f for f in files if f.startswith("zorvsdk/")}
    assert package - modules - stubs - {"zorvsdk/py.typed"} == {f for f in package if f.endswith(".py")}
    assert all(f.endswith(".py") for f in files if f.startswith("zorvsim/"))
    assert {f.split("/")[0] for f in files} == {"zorvsdk", "zorvsdkpy.libs", "zorvsim"}


@pytest.mark.parametrize("name", MODULES)
def test_module_finds_the_sdk_library_through_its_run_path(name):
    entries = dynamic_entries(module_file(name))
    assert (DT_NEEDED, "libZorvSdk.so") in entries
    # RUNPATH, not RPATH, so that LD_LIBRARY_PATH can put a real SDK library first.
    assert [text for tag, text in entries if tag in (DT_RPATH, DT_RUNPATH)] == [RUNPATH]
    assert (DT_RUNPATH, RUNPATH) in entries
    assert (module_file(name).parent / ".." / "zorvsdkpy.libs" / "libZorvSdk.so").resolve().is_file()


def test_the_command_is_installed_as_a_console_script():
    dist = distribution()
    if dist is None:
        pytest.skip("a staged build: no distribution, no scripts")
    scripts = {ep.name: ep.value for ep in dist.entry_points if ep.group == "console_scripts"}
    assert scripts == {"zorvsdk-acquire": "zorvsdk.acquire:main", "zorvsdk-receive": "zorvsdk.stream:main"}
    installed = [f for f in dist.files if f.name == "zorvsdk-acquire"]
    assert len(installed) == 1 and Path(dist.locate_file(installed[0])).is_file()


def test_zorvsim_controls_the_library_the_modules_loaded():
    zorvsim.reset()
    assert Path(zorvsim.__file__).resolve().parent == ROOT / "zorvsim"
    loaded = {line.split()[-1] for line in Path("/proc/self/maps").read_text().splitlines() if "libZorvSdk" in line}
    assert loaded == {str(ROOT / "zorvsdkpy.libs" / "libZorvSdk.so")}


def test_the_checkout_root_hides_no_installed_package():
    """`python -m pytest` and `python -c` put the current folder first on the module path: from the
    checkout's root, both packages still come from where they are installed (or staged), and the
    virtual device answers."""
    checkout = Path(__file__).resolve().parent.parent
    code = ("import json, zorvsim, zorvsdk, zorvsdk.zorv; zorvsim.reset(); "
            "print(json.dumps([zorvsim.__file__, zorvsdk.__file__, zorvsdk.zorv.Device().enumerate()[0].connectionString]))")
    done = subprocess.run([sys.executable, "-c", code], cwd=checkout, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    zorvsim_file, zorvsdk_file, locator = json.loads(done.stdout)
    assert Path(zorvsim_file).resolve().parent == ROOT / "zorvsim"
    assert Path(zorvsdk_file).resolve().parent == ROOT / "zorvsdk"
    assert locator == "zorvsim:0"
