"""Every native callable has a signature for inspect, while its __doc__ stays
the documentation text alone, and help() on every module renders."""

import importlib
import inspect
import pydoc
import types

import pytest

from tarvish.__main__ import MODULES

NATIVE = (types.BuiltinFunctionType, types.MethodDescriptorType, types.WrapperDescriptorType)


def callables():
    for modname in MODULES:
        mod = importlib.import_module(modname)
        for name, value in vars(mod).items():
            if name.startswith("_") or isinstance(value, types.ModuleType):
                continue
            if isinstance(value, types.BuiltinFunctionType) and value.__module__ == modname:
                yield f"{modname}.{name}", value
            elif isinstance(value, type) and value.__module__ == modname:
                for attr, member in vars(value).items():
                    if isinstance(member, (types.MethodDescriptorType, types.BuiltinFunctionType,
                                           types.ClassMethodDescriptorType)) and not attr.startswith("__"):
                        yield f"{modname}.{name}.{attr}", getattr(value, attr)


CALLABLES = sorted(callables())


@pytest.mark.parametrize("name, fn", CALLABLES, ids=[n for n, _ in CALLABLES])
def test_signature_and_doc(name, fn):
    sig = inspect.signature(fn)
    assert all(p.kind is not p.VAR_POSITIONAL for p in sig.parameters.values()), sig
    doc = fn.__doc__
    assert doc is None or "\n--\n" not in doc


@pytest.mark.parametrize("modname", MODULES)
def test_help_renders(modname):
    text = pydoc.render_doc(importlib.import_module(modname), renderer=pydoc.plaintext)
    assert modname.rsplit(".", 1)[1] in text
