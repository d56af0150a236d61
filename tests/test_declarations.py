"""Every method's argument parsing agrees with the signature it shows: the positional counts, the
keyword names, the name given in the errors (a class-private method answers as "__getCount()")
and the defaults of its optional parameters. Every method's text is laid out as the others."""

import importlib
import inspect
import re
import sys

import pytest

import zorvsdk
import zorvsim

MODULES = ["acquisition", "axi", "bias", "board", "chip", "configuration", "context", "cooling", "errors",
           "flashmem", "identity", "monitor", "revision", "syncmode", "trigger", "zorv"]
# Rows of the interpreter's own kinds, whose errors are worded by it.
RAW = {"__reduce__", "__setstate__", "_interpreter_entries"}


class Refused(Exception):
    pass


class Refuse:
    """Refuses every conversion: a call that got past the parser fails on it."""

    def _refuse(self, *args, **kwargs):
        raise Refused

    __int__ = __index__ = __float__ = encode = flatten = __len__ = _refuse

    def __getattr__(self, name):
        raise Refused(name)


def declared():
    """(module, owner, name) for every declared method and module function."""
    out = []
    for short in MODULES:
        module = importlib.import_module(f"zorvsdk.{short}")
        for owner_name, owner in sorted(vars(module).items()):
            if isinstance(owner, type) and owner.__module__ == module.__name__:
                out += [(short, owner_name, n) for n, v in vars(owner).items()
                        if type(v).__name__ == "method_descriptor" and n not in RAW]
            elif type(owner).__name__ == "builtin_function_or_method" and owner_name not in RAW:
                out.append((short, None, owner_name))
    return out


DECLARED = declared()


def bound(module, owner, name):
    """The method on an object made without a device (its calls fail before the SDK), or the function."""
    mod = importlib.import_module(f"zorvsdk.{module}")
    if owner is None:
        return getattr(mod, name)
    cls = getattr(mod, owner)
    if owner == "Device":
        obj = cls()
    elif owner == "__Acquisition":
        obj = cls(None, None)
    elif owner == "NonVolatileMemory":
        obj = cls(None, "m", "p", [])
    else:
        obj = cls(None)
    return getattr(obj, name)


def reported(name):
    return re.sub(r"^_[A-Za-z]+(?=__)", "", name)


def positional(how, n):
    return f"takes {how} {n} positional argument{'' if n == 1 else 's'}"


def test_every_module_declares_methods():
    assert len(DECLARED) > 100
    assert {m for m, _, _ in DECLARED} >= set(MODULES) - {"context", "trigger"}


@pytest.mark.parametrize("module, owner, name", DECLARED, ids=[f"{m}.{o or ''}.{n}" for m, o, n in DECLARED])
def test_parser_agrees_with_signature(device, module, owner, name):
    method = bound(module, owner, name)
    params = list(inspect.signature(method).parameters.values())
    names = [p.name for p in params]
    required = sum(p.default is inspect.Parameter.empty for p in params)
    fname = reported(name)
    exact = required == len(params)

    with pytest.raises(TypeError) as info:
        method(*[0] * (len(params) + 1))
    assert str(info.value) == f"{fname}() {positional('exactly' if exact else 'at most', len(params))} ({len(params) + 1} given)"

    with pytest.raises(TypeError) as info:
        method(unknown=0)
    assert str(info.value) == f"{fname}() got an unexpected keyword argument 'unknown'"

    if required:
        with pytest.raises(TypeError) as info:
            method()
        assert str(info.value) == f"{fname}() {positional('exactly' if exact else 'at least', required)} (0 given)"

    if params:
        with pytest.raises(TypeError) as info:
            method(0, **{names[0]: 0})
        assert str(info.value) == f"{fname}() got multiple values for keyword argument '{names[0]}'"
        # Every parameter by its keyword gets past the parser: only the conversions refuse.
        try:
            method(**{n: Refuse() for n in names})
        except TypeError as e:
            assert not re.match(rf"{re.escape(fname)}\(\) (takes|got)", str(e)), str(e)
        except Exception:
            pass
    for p in params[required:]:
        assert p.default is not inspect.Parameter.empty and p.kind is p.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("module, owner, name", DECLARED, ids=[f"{m}.{o or ''}.{n}" for m, o, n in DECLARED])
def test_docstring_layout(module, owner, name):
    """A text of several lines begins on the line after the quotes and every line of it has the
    indentation of the body (a method's, or a module function's), up to the closing quotes."""
    mod = importlib.import_module(f"zorvsdk.{module}")
    doc = (getattr(mod, name) if owner is None else vars(getattr(mod, owner))[name]).__doc__
    if doc is None or "\n" not in doc:
        return
    indent = " " * (4 if owner is None else 8)
    lines = doc.split("\n")
    assert lines[0] == "" and lines[-1] == indent, repr(doc)
    for line in lines[1:-1]:
        assert line == "" or (line.startswith(indent) and not line.endswith(" ")), repr(line)
    assert lines[1].strip() and lines[-2].strip(), repr(doc)  # no blank first or last line


def reached_by_rows():
    """(module, owner, name) of every declared method (sinks included) that some row of the shared
    call table calls, directly or through the package's own methods: each method is replaced on its
    class (or module) by a wrapper that notes the call, so that calls between the package's methods,
    which look the method up by name, are seen too; on a class that cannot be changed, the calls
    made from Python are seen through the profiler."""
    import calls
    from zorvsdk import sinks

    methods = DECLARED + [("sinks", o, n) for o in ("Recorder", "HitMap", "Clusterer") for n, v in vars(getattr(sinks, o)).items()
                          if type(v).__name__ == "method_descriptor" and n not in RAW]
    seen, restore, fixed = set(), [], {}

    def noting(key, original, is_method):
        if is_method:
            return lambda self, *a, **k: (seen.add(key), original.__get__(self)(*a, **k))[1]
        return lambda *a, **k: (seen.add(key), original(*a, **k))[1]

    for key in methods:
        module, owner, name = key
        mod = importlib.import_module(f"zorvsdk.{module}")
        target = mod if owner is None else getattr(mod, owner)
        original = getattr(target, name) if owner is None else vars(target)[name]
        try:
            setattr(target, name, noting(key, original, owner is not None))
            restore.append((target, name, original))
        except TypeError:  # an immutable type
            fixed[(getattr(target, "__name__"), name)] = key

    def profile(frame, event, arg):
        if event == "c_call":
            owner = getattr(arg, "__objclass__", None) or type(getattr(arg, "__self__", None))
            key = fixed.get((owner.__name__, getattr(arg, "__name__", "")))
            if key:
                seen.add(key)

    try:
        for row in calls.METHODS.values():
            dev = calls.device_for_calls()
            sys.setprofile(profile)
            try:
                row(dev)
            except Exception:
                pass  # a row that fails has still called its method
            finally:
                sys.setprofile(None)
                zorvsim.clear_controls()
                for ch in ("ch0", "ch1"):
                    if zorvsim.acquiring(ch):
                        dev.acq.abort(ch)
                dev.finalize()
    finally:
        for target, name, original in restore:
            setattr(target, name, original)
    return set(methods), seen


def test_every_declared_method_has_a_row_in_the_call_table():
    methods, seen = reached_by_rows()
    assert {m for m, _, _ in methods} >= set(MODULES) - {"context", "trigger"} | {"sinks"}
    missing = sorted(methods - seen)
    assert missing == [], f"methods that no row of tests/calls.py calls: {missing}"
