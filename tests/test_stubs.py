"""The .pyi stubs of the extension modules against the modules themselves, and
mypy --strict over the examples and the package."""

import ast
import asyncio
import datetime
import importlib
import inspect
from pathlib import Path

import mypy.api
import pytest

import brindle
from brindle.cellarage import PostgresConnector
from brindle.lookout import CacheQuery
from brindle.quaymaster import PrometheusCollector
from brindle.signalman import Signalman
from brindle.stowage import CacheStore
from brindle.tidewatch import TTLEntry, TTLRegistry
from manager_support import make_manager  # noqa: F401

ROOT = Path(__file__).resolve().parent.parent
EMPTY = inspect.Parameter.empty


@pytest.fixture
def instances(make_manager):
    """One object of each class the extension modules define, for its instance attributes."""
    manager = make_manager()
    made = [manager, manager.persistence, TTLRegistry(), TTLEntry(datetime.datetime.now(), 1), CacheStore(),
            CacheQuery(), Signalman(manager, manager.config), PostgresConnector("dbname=stubs"),
            PrometheusCollector(manager)]
    return {type(obj): obj for obj in made}


def text(node):
    return None if node is None else ast.unparse(node)


def stub_signature(fn):
    """[(name, kind, default, annotation)] and the return annotation of a stub def, as text."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    kinds = ([inspect.Parameter.POSITIONAL_ONLY] * len(a.posonlyargs)
             + [inspect.Parameter.POSITIONAL_OR_KEYWORD] * len(a.args))
    params = [(p.arg, kind, text(d), text(p.annotation)) for p, kind, d in zip(positional, kinds, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None, text(a.vararg.annotation)))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY, text(d), text(p.annotation))
               for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None, text(a.kwarg.annotation)))
    return params, text(fn.returns)


def real_signature(obj):
    def annotation(value):
        return None if value is EMPTY else value if isinstance(value, str) else repr(value)

    sig = inspect.signature(obj)
    params = [(p.name, p.kind, None if p.default is EMPTY else repr(p.default), annotation(p.annotation))
              for p in sig.parameters.values()]
    return params, annotation(sig.return_annotation)


# What a stub may say more precisely than the runtime annotation does.
REFINED = {("dict", "Dict[str, Any]")}


def same_annotation(real, stub):
    """Equal text, or a parameter type where the runtime gives none."""
    return real == stub or real is None or (real, stub) in REFINED


def assert_same_signature(real_obj, stub_def, where):
    (real_params, real_return), (stub_params, stub_return) = real_signature(real_obj), stub_signature(stub_def)
    assert [p[:3] for p in real_params] == [p[:3] for p in stub_params], where
    for (name, _, _, real), (_, _, _, stub) in zip(real_params, stub_params):
        assert same_annotation(real, stub), f"{where}({name}): {real!r} in the module, {stub!r} in the stub"
    # Every callable left unannotated at runtime returns None.
    assert real_return == stub_return or (real_return is None and stub_return == "None") \
        or (real_return, stub_return) in REFINED, f"{where} returns {real_return!r}, stub says {stub_return!r}"


FUNCTION_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef)


def names_defined(node):
    if isinstance(node, (ast.ClassDef, *FUNCTION_DEFS)):
        return [node.name]
    if isinstance(node, ast.AnnAssign):
        return [node.target.id]
    return [target.id for target in node.targets] if isinstance(node, ast.Assign) else []


def stub_members(cls_node):
    """name -> def or attribute of a stub class; a @dataclass gets its __init__ from its fields."""
    members = {name: node for node in cls_node.body for name in names_defined(node)}
    if "dataclass" in map(text, cls_node.decorator_list):
        fields = [f"{text(n.target)}: {text(n.annotation)}" + ("" if n.value is None else f" = {text(n.value)}")
                  for n in cls_node.body if isinstance(n, ast.AnnAssign)]
        members["__init__"] = ast.parse(f"def __init__(self, {', '.join(fields)}) -> None: ...").body[0]
    return members


def kind_of_stub(node):
    if isinstance(node, ast.AsyncFunctionDef):
        return "async method"
    if not isinstance(node, ast.FunctionDef):
        return "attribute"
    return "property" if "property" in map(text, node.decorator_list) else "method"


def kind_of_real(obj):
    if isinstance(obj, property):
        return "property"
    if callable(obj):
        return "async method" if asyncio.iscoroutinefunction(obj) else "method"
    return "attribute"


def public(names):
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("name", ["quaymaster", "stowage", "lookout", "tidewatch", "cellarage", "joinery",
                                  "signalman"])
def test_stub_matches_module(name, request):
    module = importlib.import_module(f"brindle.{name}")
    # In the package that was imported (installed, or the source tree): an
    # editable install keeps the extension modules in its build folder.
    stub_path = Path(brindle.__file__).parent / f"{name}.pyi"
    assert (stub_path.parent / "py.typed").is_file()
    stub = ast.parse(stub_path.read_text(encoding="utf-8"))

    # Module level. A plain import in a stub is not part of what it exports, so
    # a stub may import what its annotations need; every real name is bound,
    # and everything exported really exists.
    bound, exported, imported = {}, set(), {}
    for node in stub.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                as_name = alias.asname or alias.name.partition(".")[0]
                bound[as_name] = node
                imported[as_name] = (getattr(importlib.import_module(node.module), alias.name)
                                     if isinstance(node, ast.ImportFrom) else importlib.import_module(alias.name))
                if alias.asname == alias.name:
                    exported.add(as_name)
        for as_name in names_defined(node):
            bound[as_name] = node
            exported.add(as_name)
    real_names = public(vars(module))
    assert real_names - set(bound) == set(), "names the stub does not declare"
    assert public(exported) - real_names == set(), "names the stub declares that the module lacks"
    for as_name in real_names & set(imported):
        assert getattr(module, as_name) is imported[as_name], as_name

    # Built only now: the manager fixture replaces tidewatch's `time`.
    instances = request.getfixturevalue("instances")
    for as_name, node in bound.items():
        if isinstance(node, FUNCTION_DEFS):
            assert_same_signature(getattr(module, as_name), node, as_name)
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, as_name)
        assert [text(b) for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object], as_name
        members = stub_members(node)
        real_members = public(dir(cls)) | public(vars(instances[cls])) | ({"__init__"} & set(vars(cls)))
        assert public(members) | ({"__init__"} & set(members)) == real_members, as_name
        for member, member_node in members.items():
            real = inspect.getattr_static(instances[cls], member)
            where = f"{as_name}.{member}"
            assert kind_of_stub(member_node) == kind_of_real(real), where
            if isinstance(member_node, FUNCTION_DEFS):
                real_fn = real.fget if isinstance(real, property) else real
                assert_same_signature(real_fn, member_node, where)


def test_mypy_strict_passes_on_examples_and_package(monkeypatch):
    # Run from the root so that pyproject.toml's [tool.mypy] applies and the
    # package is the source tree's.
    monkeypatch.chdir(ROOT)
    stdout, stderr, status = mypy.api.run(["--strict", "examples", "brindle"])
    assert status == 0, stdout + stderr
