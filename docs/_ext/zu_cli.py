"""The `zu-cli` directive: the command-line reference, written from the
`zu` command's own parser (zudata._clidoc), as the manual page is."""

from __future__ import annotations

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective


def _literal(text: str) -> str:
    return "``" + text.replace("`", "\\`") + "``"


def _text(text: str) -> str:
    return text.replace("\\", "\\\\").replace("*", "\\*").replace("`", "\\`")


def cli_rst() -> list[str]:
    from zudata._clidoc import commands, option_notes, option_text
    from zudata.cli import EXIT_STATUSES

    lines: list[str] = []
    for command in commands():
        title = f"zu {command.name}"
        lines += [title, "-" * len(title), "", command.summary[:1].upper() + command.summary[1:] + ".", ""]
        lines += [".. code-block:: text", "", "   " + command.usage, ""]
        lines += [".. list-table::", "   :header-rows: 1", "   :widths: 30 70", "", "   * - option", "     - meaning"]
        for option in command.options:
            notes = option_notes(option)
            text = _text(option.help) + (f" ({'; '.join(notes)})" if notes else "")
            lines += [f"   * - {_literal(option_text(option))}", f"     - {text}"]
        lines += ["", "Examples:", ""]
        for line, what in command.examples:
            lines += [f"* {_text(what)}:", "", "  .. code-block:: sh", "", "     " + line, ""]
    lines += ["Exit status", "-----------", "", ".. list-table::", "   :header-rows: 1", "", "   * - status",
              "     - meaning"]
    for status, what in EXIT_STATUSES:
        lines += [f"   * - {status}", f"     - {_text(what)}"]
    return lines + [""]


class CliDirective(SphinxDirective):
    has_content = False

    def run(self) -> list[nodes.Node]:
        holder = nodes.section()
        holder.document = self.state.document
        self.state.nested_parse(StringList(cli_rst(), source="zudata.cli"), 0, holder, match_titles=True)
        return holder.children


def setup(app):  # type: ignore[no-untyped-def]
    app.add_directive("zu-cli", CliDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
