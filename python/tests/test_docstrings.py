"""Every public name of the Pythonic layer says what it is."""

import inspect

import veltor
import veltor.device
import veltor.errors
import veltor.modes
import veltor.ports
import veltor.simulator

# The Pythonic modules; the low layer's names (veltor._veltor) are the
# library's and documented with it.
PYTHONIC = (veltor.device, veltor.errors, veltor.modes, veltor.ports, veltor.simulator)


def _public(module):
    for name in getattr(module, "__all__", ()):
        obj = getattr(module, name)
        if getattr(obj, "__module__", None) == module.__name__ or module is veltor.errors:
            yield f"{module.__name__}.{name}", obj


def _members(cls):
    # Members the class defines itself (inherited ones are checked where
    # they are defined), public or dunder methods a script calls.
    for name, member in vars(cls).items():
        if name.startswith("_") and name not in ("__init__", "__enter__", "__exit__",
                                                 "__iter__", "__next__", "__getitem__"):
            continue
        if name.startswith("__") and not callable(member):
            continue
        if isinstance(member, (property, staticmethod, classmethod)) or callable(member) \
                or hasattr(member, "__get__"):
            yield name, member


def _missing():
    missing = []
    for qualified, obj in (item for module in PYTHONIC for item in _public(module)):
        if not inspect.getdoc(obj):
            missing.append(qualified)
        if not inspect.isclass(obj):
            continue
        for name, member in _members(obj):
            if name == "__init__":
                continue  # the class's docstring says how to make one
            doc = member.__doc__ if not isinstance(member, (staticmethod, classmethod)) \
                else member.__func__.__doc__
            if not doc or not doc.strip():
                missing.append(f"{qualified}.{name}")
    return missing


def test_every_public_name_has_a_docstring():
    assert _missing() == []


def test_the_walk_finds_members():
    # A walk that found nothing would pass whatever the docstrings.
    names = [name for name, _ in _members(veltor.Device)]
    assert {"connect", "update_all", "check", "general", "on_report"} <= set(names)
    assert len([q for m in PYTHONIC for q, _ in _public(m)]) >= 30
