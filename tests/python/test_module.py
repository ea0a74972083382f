"""The type stubs name exactly what the module has, so editors complete what
exists, and everything public says what it does."""

import ast
import enum
import inspect
from pathlib import Path

import morvane

STUBS = Path(morvane.__file__).parent


def stub_classes(name):
    tree = ast.parse((STUBS / name).read_text())
    classes, functions = {}, set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    members.add(item.name)
                elif isinstance(item, ast.AnnAssign):
                    members.add(item.target.id)
                elif isinstance(item, ast.Assign):
                    members.update(t.id for t in item.targets)
            classes[node.name] = members
        elif isinstance(node, ast.FunctionDef):
            functions.add(node.name)
    return classes, functions


def public(cls):
    return {n for n in dir(cls) if not n.startswith("_")} | ({"__init__"} if cls is morvane.Drive else set())


def test_the_stubs_list_every_class_and_member():
    classes, _ = stub_classes("__init__.pyi")
    assert set(classes) == {n for n in morvane.__all__ if isinstance(getattr(morvane, n), type)}
    for name, members in classes.items():
        cls = getattr(morvane, name)
        if issubclass(cls, enum.Enum):
            assert members == {m.name for m in cls}, name
        elif issubclass(cls, BaseException):
            assert members <= {"request", "device", "errno", "outcome", "step", "slot", "text", "path", "line",
                                "line_text", "message"}, name
        else:
            expected = public(cls) | ({"__iter__", "__next__"} if cls is morvane.StatusPoll else set())
            if cls is morvane.Drive:
                expected |= {"__enter__", "__exit__"}
            assert members == expected, name
    for module, stub in ((morvane.hex, "hex.pyi"), (morvane.spl, "spl.pyi")):
        classes, functions = stub_classes(stub)
        assert set(classes) | functions == set(module.__all__)
        for name, members in classes.items():
            assert members == public(getattr(module, name)), name


def test_every_public_name_has_a_docstring():
    for owner in (morvane, morvane.hex, morvane.spl):
        for name in owner.__all__:
            thing = getattr(owner, name)
            assert inspect.getdoc(thing), name
            if isinstance(thing, type) and not issubclass(thing, (BaseException, enum.Enum)):
                for member, value in vars(thing).items():
                    if not member.startswith("_") and (callable(value) or isinstance(value, property)):
                        assert inspect.getdoc(getattr(thing, member)) or isinstance(value, property), (name, member)
    # The profile fields carry their unit and range.
    assert "25.0 to 55.0 V" in morvane.Profile.cont_under_voltage_trip.__doc__
    assert "2000 to 100000 RPM" in morvane.Profile.motor_speed_max.__doc__
    assert "ampere" in morvane.Status.phase_current.__doc__
