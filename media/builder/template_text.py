"""The operator's configuration templates: text with `{{NAME}}` where a
machine's variable NAME goes (spaces inside the braces allowed), and
`{{{{` for a literal `{{`. Nothing else is special: no expressions, no
code, so a template can do nothing but name variables
(docs/lab-inventory.md)."""

import re

# A variable's name, as the inventory and the placeholders spell it.
VARIABLE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_PLACEHOLDER = re.compile(r"\{\{ *([A-Za-z_][A-Za-z0-9_]*) *\}\}")


class TemplateError(Exception):
    pass


def _pieces(text):
    """The template as (literal text, None) and (None, variable name)
    pieces; TemplateError at a "{{" that begins neither."""
    at = 0
    while True:
        start = text.find("{{", at)
        if start < 0:
            yield text[at:], None
            return
        yield text[at:start], None
        if text.startswith("{{{{", start):
            yield "{{", None
            at = start + 4
            continue
        placeholder = _PLACEHOLDER.match(text, start)
        if placeholder is None:
            line = text.count("\n", 0, start) + 1
            raise TemplateError(f"line {line}: \"{{{{\" begins no {{{{NAME}}}} "
                                f"(write {{{{{{{{ for a literal {{{{)")
        yield None, placeholder.group(1)
        at = placeholder.end()


def variables_used(text):
    """The names a template uses, in order of first use."""
    names = []
    for _, name in _pieces(text):
        if name is not None and name not in names:
            names.append(name)
    return names


def render(text, values):
    """The template filled from `values` (name -> text). REQUIRES: every
    name it uses is in `values` (variables_used)."""
    return "".join(literal if name is None else values[name] for literal, name in _pieces(text))
