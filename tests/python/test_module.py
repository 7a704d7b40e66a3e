"""Start-up of the extension module and what it shows of itself."""

import glob
import importlib
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import rarovaredivar
from rarovaredivar import Background, Metadata

MODULE_FILE = rarovaredivar.__file__


def _interpreter(minor):
    """Another installed CPython 3.<minor>, or None."""
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", f"python3.{minor}")))
    return found[-1] if found else None


# Loads the module file under another interpreter; its own suffix rules would
# not even look at a file built for 3.10.
LOAD_FOREIGN = textwrap.dedent(
    """
    import importlib.machinery, importlib.util, sys
    loader = importlib.machinery.ExtensionFileLoader("rarovaredivar", sys.argv[1])
    spec = importlib.util.spec_from_file_location("rarovaredivar", sys.argv[1], loader=loader)
    try:
        importlib.util.module_from_spec(spec)
    except ImportError as error:
        print(error, end="")
        sys.exit(3)
    """
)


@pytest.mark.parametrize("minor", [9, 11, 12])
def test_other_interpreter_gets_version_mismatch(minor):
    python = _interpreter(minor)
    if python is None:
        pytest.skip(f"no Python 3.{minor} installed")
    version = subprocess.run(
        [python, "-c", "import sys; print(sys.version, end='')"], capture_output=True, text=True, check=True
    ).stdout
    result = subprocess.run([python, "-c", LOAD_FOREIGN, MODULE_FILE], capture_output=True, text=True)
    assert result.returncode == 3, result.stderr
    assert result.stdout == (
        "Python version mismatch: module was compiled for Python 3.10, "
        f"but the interpreter version is incompatible: {version}."
    )


# An rtld audit library that answers the module's own lookup of Py_GetVersion
# with FAKE_PY_VERSION. An LD_PRELOAD definition would not do: where the
# interpreter links libpython statically, the executable's definition wins,
# and where it does not, the interpreter itself would see the fake too.
FAKE_VERSION_AUDIT = r"""
#define _GNU_SOURCE
#include <link.h>
#include <stdlib.h>
#include <string.h>

static const char *fake_version(void) { return getenv("FAKE_PY_VERSION"); }

unsigned int la_version(unsigned int version) { (void) version; return LAV_CURRENT; }

unsigned int la_objopen(struct link_map *map, Lmid_t lmid, uintptr_t *cookie) {
    (void) lmid;
    *cookie = (uintptr_t) map;
    return LA_FLG_BINDTO | LA_FLG_BINDFROM;
}

uintptr_t la_symbind64(Elf64_Sym *sym, unsigned int ndx, uintptr_t *refcook, uintptr_t *defcook,
                       unsigned int *flags, const char *symname) {
    (void) ndx; (void) defcook; (void) flags;
    const struct link_map *from = (const struct link_map *) *refcook;
    const char *module = getenv("FAKE_PY_VERSION_FOR");
    if (strcmp(symname, "Py_GetVersion") == 0 && module && strcmp(from->l_name, module) == 0)
        return (uintptr_t) fake_version;
    return sym->st_value;
}
"""

LOAD_AND_USE = textwrap.dedent(
    """
    import importlib.machinery, importlib.util, sys
    loader = importlib.machinery.ExtensionFileLoader("rarovaredivar", sys.argv[1])
    spec = importlib.util.spec_from_file_location("rarovaredivar", sys.argv[1], loader=loader)
    try:
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
    except ImportError as error:
        print(error, end="")
        sys.exit(3)
    print(module.Metadata.Primary.PROTON.value, end="")
    """
)


@pytest.fixture(scope="module")
def fake_version_audit(tmp_path_factory):
    """Path of the audit library, built for this run."""
    compilers = [shutil.which(name) for name in (os.environ.get("CC"), "cc", "gcc") if name]
    compiler = next(filter(None, compilers), None)
    if compiler is None:
        pytest.skip("no C compiler (CC, cc or gcc) to build the audit library that fakes the version string")
    directory = tmp_path_factory.mktemp("audit")
    (directory / "fake_version.c").write_text(FAKE_VERSION_AUDIT)
    library = directory / "fake_version.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library), str(directory / "fake_version.c")],
                   check=True, capture_output=True)
    return str(library)


@pytest.mark.parametrize(
    "version, accepted",
    [
        ("3.100.1 (main, Jan  1 2030, 00:00:00) [GCC 12.2.0]", False),
        ("3.9.18 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]", False),
        ("3.11.7 (main, Jan  1 2024, 00:00:00) [GCC 12.2.0]", False),
        ("3.1", False),
        ("4.10.0", False),
        ("3.10", True),
        ("3.10.0a1+ (heads/3.10:0123abc, Jan  1 2021) [Clang 11.0.0]", True),
    ],
    ids=["3.100", "3.9", "3.11", "3.1", "4.10", "bare 3.10", "3.10 prerelease"],
)
def test_version_string_decides_the_start_up(fake_version_audit, version, accepted):
    # Works under this interpreter, wherever no other Python is installed.
    environment = dict(os.environ, LD_AUDIT=fake_version_audit, FAKE_PY_VERSION=version,
                       FAKE_PY_VERSION_FOR=MODULE_FILE)
    result = subprocess.run([sys.executable, "-c", LOAD_AND_USE, MODULE_FILE], capture_output=True, text=True,
                            env=environment)
    if accepted:
        assert (result.returncode, result.stdout) == (0, "14"), result.stderr
    else:
        assert result.returncode == 3, result.stderr
        assert result.stdout == (
            "Python version mismatch: module was compiled for Python 3.10, "
            f"but the interpreter version is incompatible: {version}."
        )


# Runs argv[1], which imports the module, in a fresh interpreter and prints
# the ImportError with its chain of causes.
IMPORT_REPORTED = textwrap.dedent(
    """
    import json, sys

    def described(error):
        if error is None:
            return None
        return {"type": type(error).__name__, "message": str(error), "cause": described(error.__cause__)}

    try:
        exec(sys.argv[1])
    except ImportError as error:
        print(json.dumps(described(error)))
        sys.exit(3)
    """
)

# The native enumeration derives from enum.IntEnum, so the definitions import enum.
WITHOUT_ENUM = "import sys\nsys.modules['enum'] = None\nimport rarovaredivar"

# The same file under a second name runs the definitions again.
UNDER_SECOND_NAME = textwrap.dedent(
    """
    import importlib.machinery, importlib.util
    import rarovaredivar
    loader = importlib.machinery.ExtensionFileLoader("second.rarovaredivar", rarovaredivar.__file__)
    spec = importlib.util.spec_from_file_location("second.rarovaredivar", rarovaredivar.__file__, loader=loader)
    loader.exec_module(importlib.util.module_from_spec(spec))
    """
)


@pytest.mark.parametrize(
    "statements, message, causes",
    [
        (
            WITHOUT_ENUM,
            "initialization failed",
            [("ImportError", ".*enum"), ("ModuleNotFoundError", r"import of enum halted; None in sys\.modules")],
        ),
        (UNDER_SECOND_NAME, 'generic_type: type "Metadata" is already registered!', []),
    ],
    ids=["Python error", "native error"],
)
def test_failure_while_the_classes_are_defined_is_import_error(statements, message, causes):
    result = subprocess.run([sys.executable, "-c", IMPORT_REPORTED, statements], capture_output=True, text=True)
    assert result.returncode == 3, (result.stdout, result.stderr)
    error = json.loads(result.stdout)
    assert (error["type"], error["message"]) == ("ImportError", message)
    for kind, pattern in causes:
        error = error["cause"]
        assert error is not None and error["type"] == kind and re.match(pattern, error["message"]), error
    assert error["cause"] is None


def test_module_docstring_and_attributes_in_order():
    assert rarovaredivar.__doc__ == "Python bindings for the VORN Background Library"
    names = [name for name in vars(rarovaredivar) if not name.startswith("__")]
    assert names == ["Metadata", "MetadataVector", "DoubleVector", "PEListVector", "Background"]


def test_repeated_import_reuses_the_completed_module():
    classes = (rarovaredivar.Metadata, rarovaredivar.Background)
    # Executing the module again must not define the classes a second time.
    assert importlib.reload(rarovaredivar) is rarovaredivar
    del sys.modules["rarovaredivar"]
    again = importlib.import_module("rarovaredivar")
    assert again is rarovaredivar
    assert (again.Metadata, again.Background) == classes


INIT_DOC = """Constructs a new Background from the given settings file.

Initializes all generators and loads cached model files.

Parameters
----------
settings : str
    Path of the settings file.

Raises
------
RuntimeError
    If an IO error occurs or if model/generator initialization throws."""

NEXT_CHUNK_DOC = """Generates a chunk of background.

Every call will give the chunk that immediately follows the previously returned chunk. \
The returned vector contains pairs of channel IDs and vectors of photo electron times. \
The vectors of p.e. times are guaranteed to be sorted and non-empty.

Parameters
----------
time_span : float
    Time span of the chunk in seconds.

Returns
-------
list of tuple
    A sorted list of (channel_id, p_e_times) where p_e_times is a sorted list of photo electron times in seconds.

Raises
------
IndexError
    If no more background is available."""

SEEK_DOC = """Sets the start time of the next call to `next_chunk()`.

Parameters
----------
time : float
    Absolute start time in seconds.

Returns
-------
None"""

GENERATE_METADATA_DOC = """Generates metadata for the photo electron lists generated by `next_chunk()`.

Only the metadata in the given interval is generated. \
For all time intervals that can be sampled with `next_chunk()` the result is well defined.

Parameters
----------
begin : float
    Begin of interval of interest in seconds.
end : float
    End of interval of interest in seconds.

Returns
-------
list of Metadata
    A list of event metadata.

Raises
------
RuntimeError
    If an IO error occurs.

IndexError
    If begin or end are outside the sampling interval."""


@pytest.mark.parametrize(
    "method, signature_start, text",
    [
        (Background.__init__, "__init__(self: rarovaredivar.Background, settings: str)", INIT_DOC),
        (Background.next_chunk, "next_chunk(self: rarovaredivar.Background, time_span: ", NEXT_CHUNK_DOC),
        (Background.seek, "seek(self: rarovaredivar.Background, time: ", SEEK_DOC),
        (
            Background.generate_metadata,
            "generate_metadata(self: rarovaredivar.Background, begin: ",
            GENERATE_METADATA_DOC,
        ),
    ],
    ids=["__init__", "next_chunk", "seek", "generate_metadata"],
)
def test_background_docstrings(method, signature_start, text):
    # The binding library writes the signature line, a blank line, the text
    # and a closing line break.
    signature, blank, rest = method.__doc__.split("\n", 2)
    assert signature.startswith(signature_start)
    assert blank == ""
    assert rest == text + "\n"


def test_classes_have_no_docstrings_and_background_keeps_default_repr():
    assert Metadata.__doc__ is None
    assert Background.__doc__ is None
    assert "__repr__" not in vars(Background)
