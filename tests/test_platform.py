"""The build under test is the platform's own: a child started as
``sys.executable`` (under emulation, the script that runs the interpreter
through qemu) is the same interpreter on the same machine, and loads the same
native modules, built for that machine."""

import importlib
import json
import platform
import sys
import sysconfig

import pytest

from support import run_python
from tarvish.__main__ import MODULES

FACTS = """
    import importlib, json, platform, sys, sysconfig
    print(json.dumps({
        "machine": platform.machine(),
        "version": sys.version,
        "executable": sys.executable,
        "prefix": sys.prefix,
        "soabi": sysconfig.get_config_var("SOABI"),
        "modules": [importlib.import_module(m).__file__ for m in %(modules)r],
    }))
"""


def facts_here():
    return {
        "machine": platform.machine(),
        "version": sys.version,
        "executable": sys.executable,
        "prefix": sys.prefix,
        "soabi": sysconfig.get_config_var("SOABI"),
        "modules": [importlib.import_module(m).__file__ for m in MODULES],
    }


@pytest.mark.no_refleak("the facts are read in a child process")
@pytest.mark.thread_unsafe(reason="a child process: run on more threads, it only repeats itself")
def test_child_interpreter_is_this_one():
    child = json.loads(run_python(FACTS % {"modules": list(MODULES)}, check=True).stdout)
    assert child == facts_here()


# Each native module's file is a shared library of this machine's own kind:
# its ELF header names the interpreter's machine.
ELF_MACHINES = {"x86_64": 62, "aarch64": 183}


@pytest.mark.skipif(not sys.platform.startswith("linux") or platform.machine() not in ELF_MACHINES,
                    reason="ELF machine codes tabled for Linux on x86_64 and aarch64")
@pytest.mark.parametrize("name", MODULES)
def test_module_built_for_this_machine(name):
    path = importlib.import_module(name).__file__
    with open(path, "rb") as f:
        header = f.read(20)
    assert header[:4] == b"\x7fELF"
    assert int.from_bytes(header[18:20], "little") == ELF_MACHINES[platform.machine()]
    assert path.endswith(f".{sysconfig.get_config_var('SOABI')}.so")
