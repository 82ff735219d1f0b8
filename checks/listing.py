"""The suite's shape, read from its listing (tests/unit/test_zeto_data.py): the
test classes and their test methods in order, the line of every class and def
statement, and each method's statements, to be found by what they do rather
than by their line.

The checks, the leak check and the benchmark all take the suite from here
(the latter two put this directory on sys.path); the standard library alone.
"""

import ast
import io
import tokenize
from pathlib import Path

PATH = Path(__file__).resolve().parent.parent / "tests" / "unit" / "test_zeto_data.py"


def _text(node):
    """The text of a string constant (``ast.Str`` before 3.8), else None."""
    kind = type(node).__name__
    if kind == "Constant" and isinstance(node.value, str):
        return node.value
    return node.s if kind == "Str" else None


def _own_nodes(node):
    """The nodes of a statement in source order, without the statements nested
    in its body (those are statements of their own)."""
    for _, value in ast.iter_fields(node):
        for child in value if isinstance(value, list) else [value]:
            if isinstance(child, ast.AST) and not isinstance(child, ast.stmt):
                yield child
                yield from _own_nodes(child)


class Statement:
    """One statement: its first and last line, its first line's text, and what
    it does: the callables it calls (a name, or the attribute name of a method),
    the attributes it reads, the string keys it subscripts with, the texts it
    holds, the modules it imports, the names it reads."""

    def __init__(self, node, last, listing):
        self.node, self.line, self.last = node, node.lineno, last
        self.text = listing.lines[self.line - 1].strip()
        self.is_assert = isinstance(node, ast.Assert)
        self._tokens = [t for t in listing.tokens if self.line <= t.start[0] <= last]
        self.calls, self.reads, self.keys, self.texts, self.names = [], [], [], [], []
        self.imports = ([a.name for a in node.names] if isinstance(node, ast.Import)
                        else [node.module] if isinstance(node, ast.ImportFrom) else [])
        for child in _own_nodes(node):
            if isinstance(child, ast.Call):
                func = child.func
                self.calls.append(func.id if isinstance(func, ast.Name) else getattr(func, "attr", None))
            elif isinstance(child, ast.Attribute) and isinstance(child.ctx, ast.Load):
                self.reads.append(child.attr)
            elif isinstance(child, ast.Subscript):
                index = child.slice.value if type(child.slice).__name__ == "Index" else child.slice  # before 3.9
                if _text(index) is not None:
                    self.keys.append(_text(index))
            elif isinstance(child, ast.Name) and isinstance(child.ctx, ast.Load):
                self.names.append(child.id)
            if _text(child) is not None:
                self.texts.append(_text(child))

    def mentions(self, word):
        """Whether it reads the attribute, subscripts with the key, or holds the text ``word``."""
        return word in self.reads or word in self.keys or word in self.texts

    def line_of(self, attr):
        """The line that ``.attr`` is written on, which in a statement of several
        lines need not be its first."""
        for dot, name in zip(self._tokens, self._tokens[1:]):
            if dot.string == "." and name.string == attr:
                return name.start[0]
        raise LookupError(f"no .{attr} in the statement at line {self.line}: {self.text}")

    def __repr__(self):
        return f"line {self.line}: {self.text}"


class Method:
    """A test method: its class, its name, the line of its def statement and
    its statements (nested ones included), in source order."""

    def __init__(self, cls, node, listing):
        self.cls, self.name = cls, node.name
        self.first_line = node.decorator_list[0].lineno if node.decorator_list else node.lineno
        self.statements = [Statement(n, listing.last_line(n.lineno), listing)
                           for n in _statements(node.body)]

    def statement(self, calls=None, reads=None, imports=None, nth=0):
        """The ``nth`` statement (from 0) that calls ``calls`` (a name or a
        method's name), reads the attribute ``reads``, imports ``imports``."""
        found = [s for s in self.statements
                 if (calls is None or calls in s.calls) and (reads is None or reads in s.reads)
                 and (imports is None or imports in s.imports)]
        if len(found) <= nth:
            raise LookupError(f"{self.name} has no statement #{nth} calling {calls!r}, reading {reads!r}, "
                              f"importing {imports!r}")
        return found[nth]

    def assertion(self, about=None):
        """The first assertion, or the first that mentions ``about``."""
        for s in self.statements:
            if s.is_assert and (about is None or s.mentions(about)):
                return s
        raise LookupError(f"{self.name} has no assertion about {about!r}")

    def at(self, line):
        """The statement whose lines hold ``line``."""
        for s in self.statements:
            if s.line <= line <= s.last:
                return s
        raise LookupError(f"{self.name} has no statement at line {line}")

    def global_reads(self, names):
        """[(line, name)] of each of ``names`` that the method reads, at its
        first read, in the order the statements read them."""
        seen = {}
        for s in self.statements:
            for name in s.names:
                if name in names:
                    seen.setdefault(name, s.line)
        return [(line, name) for name, line in seen.items()]


def _statements(body):
    for node in body:
        yield node
        for _, value in ast.iter_fields(node):
            if isinstance(value, list) and value and isinstance(value[0], ast.stmt):
                yield from _statements(value)


class Listing:
    """The listing parsed.

    ``classes``: {class name: (line, [Method])}, in order; ``tests``: [(class
    name, method name)], in order; ``module_statements``: [(Statement, names it
    binds)] of the module body; ``sdk_module`` and ``sdk_names``: the module
    under test and the names imported from it."""

    TEST_PREFIX = "test"

    def __init__(self, path=PATH):
        source = Path(path).read_text()
        self.lines = source.splitlines()
        self.tokens = [t for t in tokenize.generate_tokens(io.StringIO(source).readline)
                       if t.type in (tokenize.OP, tokenize.NAME)]
        tree = ast.parse(source, str(path))
        self._starts = sorted({n.lineno for n in ast.walk(tree) if isinstance(n, ast.stmt)})
        self.classes = {}
        self.module_statements = []
        self.sdk_module, self.sdk_names = None, ()
        for node in tree.body:
            statement = Statement(node, self.last_line(node.lineno), self)
            self.module_statements.append((statement, _bound(node)))
            if isinstance(node, ast.ImportFrom) and not node.level:
                self.sdk_module, self.sdk_names = node.module, tuple(a.name for a in node.names)
            if isinstance(node, ast.ClassDef):
                methods = [Method(node.name, n, self) for n in node.body
                           if isinstance(n, ast.FunctionDef) and n.name.startswith(self.TEST_PREFIX)]
                self.classes[node.name] = (node.lineno, methods)
        self.tests = [(cls, m.name) for cls, (_, methods) in self.classes.items() for m in methods]
        self._methods = {(m.cls, m.name): m for _, methods in self.classes.values() for m in methods}

    def last_line(self, line):
        """The last line of the statement at ``line``, before the next one starts
        (blank and comment lines after it left out)."""
        later = [s for s in self._starts if s > line]
        last = (later[0] if later else len(self.lines) + 1) - 1
        while last > line and (not self.lines[last - 1].strip() or self.lines[last - 1].lstrip().startswith("#")):
            last -= 1
        return last

    def method(self, name, cls=None):
        """The test method ``name`` (of the class ``cls``, where names repeat)."""
        found = [m for (c, n), m in self._methods.items() if n == name and cls in (None, c)]
        if len(found) != 1:
            raise LookupError(f"{len(found)} test methods named {name!r} in the listing")
        return found[0]

    def methods(self):
        return list(self._methods.values())

    def assertion_line(self, test, about=None):
        """The line of the first assertion of the test method ``test`` (the
        first that mentions ``about``)."""
        return self.method(test).assertion(about).line

    def binding(self, name):
        """The module statement that binds ``name``."""
        for statement, names in self.module_statements:
            if name in names:
                return statement
        raise LookupError(f"nothing binds {name!r} in the listing")

    def module_names(self):
        """The names the module body binds, in order."""
        return [name for _, names in self.module_statements for name in names]


def _bound(node):
    if isinstance(node, ast.Import):
        return [(a.asname or a.name).split(".")[0] for a in node.names]
    if isinstance(node, ast.ImportFrom):
        return [a.asname or a.name for a in node.names]
    if isinstance(node, ast.Assign):
        return [t.id for t in node.targets if isinstance(t, ast.Name)]
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return [node.name]
    return []


LISTING = Listing()
