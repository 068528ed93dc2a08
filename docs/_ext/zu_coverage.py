"""Fails the build when a public name is not documented.

The public names are those in `zudata.__all__` and `zu_data_reader.__all__`
(the installed modules); a name counts as documented when the built site
has a Python-domain entry for it (autodoc or the stub directive). A missing
one is a warning, which the -W build turns into an error.
"""

from __future__ import annotations

import importlib

from sphinx.util import logging

logger = logging.getLogger(__name__)

MODULES = ("zudata", "zu_data_reader")


def missing_names(documented: set[str]) -> list[str]:
    missing = []
    for name in MODULES:
        module = importlib.import_module(name)
        missing += [f"{name}.{public}" for public in module.__all__ if f"{name}.{public}" not in documented]
    return missing


def check(app, env):  # type: ignore[no-untyped-def]
    documented = set(env.get_domain("py").objects)
    for name in missing_names(documented):
        logger.warning("public name %s is not documented on any page", name, type="zu", subtype="undocumented")


def setup(app):  # type: ignore[no-untyped-def]
    app.connect("env-check-consistency", check)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
