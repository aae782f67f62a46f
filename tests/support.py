"""Helpers shared by the test files: the native callables of the nine modules,
fresh-interpreter runs, hostile objects and the subclasses of builtins that
exact-type parameters refuse."""

import enum
import importlib
import os
import subprocess
import sys
import sysconfig
import textwrap
import types
from typing import NamedTuple

import pytest

from tarvish.__main__ import MODULES

# The free-threaded build, where the GIL stays off unless something turns it on.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

METHOD_KINDS = (types.MethodDescriptorType, types.ClassMethodDescriptorType, staticmethod)


class Native(NamedTuple):
    """A module's public native function or class, or a public method of such a class."""

    module: str  # the module's import name
    cls: type | None  # the class, for a class and its methods
    name: str  # the name in the module, or in the class for a method
    value: object  # as the namespace holds it (a method: the class dict's descriptor)

    @property
    def kind(self):
        return "function" if self.cls is None else "class" if self.value is self.cls else "method"


def native_callables():
    """Every public native callable of the nine modules, module by module: each
    function and class defined by the module itself, and each method in a
    class's own dict (not a dunder; a py_ alias is listed under both names)."""
    for modname in MODULES:
        for name, value in vars(importlib.import_module(modname)).items():
            if name.startswith("_") or getattr(value, "__module__", None) != modname:
                continue
            if isinstance(value, types.BuiltinFunctionType):
                yield Native(modname, None, name, value)
            elif isinstance(value, type):
                yield Native(modname, value, name, value)
                for attr, member in vars(value).items():
                    if not attr.startswith("__") and isinstance(member, METHOD_KINDS):
                        yield Native(modname, value, attr, member)


# The leak mode runs a test's body many times over, and a child process that
# the body starts is the same fresh interpreter given the same code each time:
# while a test runs there, this holds the processes its first run completed,
# by what they were given, for its later runs to check again.
completed = None


# An injected allocation failure fails every thread's allocations: in a worker
# process of a distributed run, the worker's own receiving thread would fail
# with the call, so the tests that inject one run only in a process of their own.
ALONE = pytest.mark.skipif("PYTEST_XDIST_WORKER" in os.environ,
                           reason="fails every thread's allocations, a distributed run's worker thread's with them")


def run_python(code, *, check=False, timeout=300):
    """Runs `code` (dedented) in a fresh interpreter with this one's import path
    and environment (so a sanitizer runtime preload carries over); returns the
    completed process. With `check`, a non-zero exit fails with its stderr."""
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    key = (textwrap.dedent(code), timeout, tuple(sorted(env.items())))
    proc = completed.get(key) if completed is not None else None
    if proc is None:
        proc = subprocess.run([sys.executable, "-c", key[0]], capture_output=True, text=True, encoding="utf-8",
                              timeout=timeout, env=env)
        if completed is not None:
            completed[key] = proc
    if check:
        assert proc.returncode == 0, proc.stderr
    return proc


def outcome(call, *args):
    """What the call returns, or the ordinary exception it raises, without its
    traceback (which would keep the arguments alive); never one that a sound
    native call cannot raise (SystemError, AssertionError)."""
    try:
        return call(*args)
    except (SystemError, AssertionError):
        raise
    except Exception as e:
        return e.with_traceback(None)


def overriding(cls, **methods):
    """A subclass of `cls` with `methods` in its dict."""
    return type(f"{cls.__name__}Sub", (cls,), methods)


def hostile(*slots, exc=ZeroDivisionError, name="Hostile", base=object, **attrs):
    """A subclass of `base` whose special methods named in `slots` ("int",
    "float", "index", "bool", "eq", "hash", "len", ...) raise
    exc("hostile __<slot>__"), so a test can tell which conversion ran. A class
    with a raising __eq__ is unhashable unless `attrs` gives it a __hash__."""

    def raiser(slot):
        def method(self, *args):
            raise exc(f"hostile __{slot}__")
        return method

    return type(name, (base,), {**{f"__{slot}__": raiser(slot) for slot in slots}, **attrs})


# A number none of whose conversions succeed: int(), float(), operator.index()
# and bool() each raise ZeroDivisionError naming their slot.
Hostile = hostile("int", "float", "index", "bool")


class EnvFault(Exception):
    """The failure a Steps log puts at its bad step."""


class Steps:
    """The log of an environment's steps (attribute reads and calls, named by
    their path, "os.path.exists()"), in the order first made; the step named
    `bad` raises EnvFault or, `hostile`, gives a Hostile (or a callable that
    gives one)."""

    def __init__(self, bad=None, hostile=False):
        self.seen, self.bad, self.hostile = {}, bad, hostile

    def step(self, name, make):
        self.seen.setdefault(name)
        if name == self.bad:
            if not self.hostile:
                raise EnvFault(name)
            return Hostile()
        return make()


# What an environment hands out as it is: plain data, enum members, exceptions.
PLAIN = (str, bytes, int, float, complex, type(None), tuple, list, dict, set, frozenset, enum.Enum, BaseException)


class Env:
    """An object of the code's environment (a host module, a stand-in for one,
    what they give out), every attribute read and call through it logged in
    `steps`; what they give out that is not plain data is an Env too."""

    def __init__(self, real, path, steps):
        object.__setattr__(self, "_env", (real, path, steps))

    @staticmethod
    def of(value, path, steps):
        plain = isinstance(value, PLAIN) or (isinstance(value, type) and issubclass(value, PLAIN))
        return value if plain else Env(value, path, steps)

    def __getattribute__(self, name):
        real, path, steps = object.__getattribute__(self, "_env")
        full = f"{path}.{name}"
        return Env.of(steps.step(full, lambda: getattr(real, name)), full, steps)

    def __setattr__(self, name, value):
        real, path, steps = object.__getattribute__(self, "_env")
        steps.step(f"{path}.{name}=", lambda: setattr(real, name, value))

    def __call__(self, *args, **kwargs):
        real, path, steps = object.__getattribute__(self, "_env")
        return Env.of(steps.step(f"{path}()", lambda: real(*args, **kwargs)), f"{path}()", steps)


def each_step_failing(run):
    """Runs run(steps) once to log the steps, then again with each logged
    step raising, then hostile, in turn."""
    steps = Steps()
    run(steps)
    for name in list(steps.seen):
        for hostile_value in (False, True):
            run(Steps(name, hostile_value))


class IntLike:
    """Converts to `v` through __int__ alone (no __index__, no __float__)."""

    def __init__(self, v):
        self.v = v

    def __int__(self):
        return self.v


class FloatLike:
    """Converts to `v` through __float__ alone."""

    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexOnly:
    """Has __index__ (3) but no __int__: not an integer to the native conversion."""

    def __index__(self):
        return 3


StrSub = type("StrSub", (str,), {})
IntSub = type("IntSub", (int,), {})
BytesSub = type("BytesSub", (bytes,), {})
TupleSub = type("TupleSub", (tuple,), {})
ListSub = type("ListSub", (list,), {})
DictSub = type("DictSub", (dict,), {})
