import ast
import pathlib

import tarvel

STUBS = pathlib.Path(tarvel.__file__).with_name("__init__.pyi")


def stub_tree():
    return ast.parse(STUBS.read_text())


def test_stubs_name_exactly_the_public_names():
    tree = stub_tree()
    stubbed = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    stubbed |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    runtime = set(tarvel.__all__)
    assert stubbed == runtime


def test_every_stubbed_member_exists():
    missing = []
    for node in stub_tree().body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(tarvel, node.name)
        for member in node.body:
            name = getattr(member, "name", None) or getattr(getattr(member, "target", None), "id", None)
            if name is None or name == "kind":  # kind is set on each raised error
                continue
            if not hasattr(cls, name):
                missing.append(f"{node.name}.{name}")
    assert missing == []
