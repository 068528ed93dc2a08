"""The `zu-stubs` directive: a reference page generated from a type stub.

The original module is native; its signatures and docstrings live in the
stub that ships with it (zu_data_reader-stubs/__init__.pyi), which mypy's
stubtest keeps true to the built module. This reads the stub with `ast` and
emits the Python domain's directives for every name in its `__all__`, so
the page says exactly what the stub says.
"""

from __future__ import annotations

import ast
from pathlib import Path

from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective


def _signature(node: ast.FunctionDef) -> str:
    args = ast.unparse(node.args)
    returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
    return f"({args}){returns}"


def _doc_lines(node: ast.AST, indent: str) -> list[str]:
    doc = ast.get_docstring(node)  # type: ignore[arg-type]
    return [indent + line if line else "" for line in doc.splitlines()] if doc else []


def _member_lines(node: ast.stmt) -> list[str]:
    if not isinstance(node, ast.FunctionDef):
        return []
    decorators = {ast.unparse(d) for d in node.decorator_list}
    if "property" in decorators:
        returns = ast.unparse(node.returns) if node.returns is not None else "typing.Any"
        lines = [f"   .. py:property:: {node.name}", f"      :type: {returns}", ""]
    elif node.name == "__new__":
        return []  # shown as the class signature
    else:
        lines = [f"   .. py:method:: {node.name}{_signature(node).replace('(self, ', '(').replace('(self)', '()')}", ""]
    return [*lines, *_doc_lines(node, "      "), ""]


def stub_rst(path: Path, module: str) -> list[str]:
    tree = ast.parse(path.read_text(encoding="utf-8"))
    public: list[str] = []
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            public = list(ast.literal_eval(node.value))
    lines = [f".. py:module:: {module}", ""]
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or node.name not in public:
            continue
        new = next((n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__new__"), None)
        signature = _signature(new).replace("(cls, ", "(").split(" -> ")[0] if new else ""
        lines += [f".. py:class:: {node.name}{signature}", "   :final:", ""]
        lines += _doc_lines(node, "   ") + [""]
        if new is not None:
            lines += _doc_lines(new, "   ") + [""]
        for member in node.body:
            lines += _member_lines(member)
    return lines


class StubDirective(SphinxDirective):
    required_arguments = 2  # the stub's path (relative to the docs), the module name
    has_content = False

    def run(self) -> list:  # type: ignore[type-arg]
        path = Path(self.env.srcdir) / self.arguments[0]
        self.env.note_dependency(str(path))
        content = StringList(stub_rst(path, self.arguments[1]), source=str(path))
        from docutils import nodes

        holder = nodes.section()
        holder.document = self.state.document
        self.state.nested_parse(content, 0, holder)
        return holder.children


def setup(app):  # type: ignore[no-untyped-def]
    app.add_directive("zu-stubs", StubDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
