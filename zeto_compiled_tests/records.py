"""Failure records of a compiled module, shown as its listing, with the
values of a failed assertion from a re-run of the test from the listing."""

import ast
import builtins
import importlib
import importlib.machinery
import importlib.util
import linecache
import os
import shutil
import sys
import tempfile
import tokenize
import types
from pathlib import Path

import pytest

from zeto_compiled_tests.files import dotted_name


class Records:
    """The failure records of one compiled module, shown as the listing.

    A record is a traceback entry whose code carries the listing's path
    relative to the package root, a function name and one line. For a report
    each record is replaced by a frame of the listing itself: its code starts
    where the record's function starts in the listing (the ``def`` of a test,
    line 1 for the module body), so that the report shows the statement with
    its context lines and the path of this very listing, wherever pytest runs
    from and whatever else of that relative name lies on ``sys.path``.
    """

    _known = {}

    def __init__(self, module, listing):
        self.module = module
        self.listing = listing
        name, root = dotted_name(listing, listing.stem)
        self.filename = listing.relative_to(root).as_posix()
        self.prefix = f"{name}."
        with tokenize.open(str(listing)) as f:
            self.lines = f.readlines()
        # Where each function of the listing starts, by qualified name.
        self.starts = {}
        self._find_starts(ast.parse("".join(self.lines)), "")
        self._codes = {}
        self._stand_ins = {}  # qualified name: code of the test's stand-in

    @classmethod
    def of(cls, module, listing):
        records = cls._known.get(listing)
        if records is None or records.module is not module:
            records = cls._known[listing] = cls(module, listing)
        return records

    def _find_starts(self, node, prefix):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                qualname = prefix + child.name
                if not isinstance(child, ast.ClassDef):
                    first = min([child.lineno] + [d.lineno for d in child.decorator_list])
                    self.starts[qualname] = (first, child.name)
                self._find_starts(child, qualname + ".")

    def stand_in(self, bound):
        """The compiled test method ``bound`` (bound to its instance) as a
        method of a function of the listing that calls it. Its frame names
        the test and the listing at the test's ``def`` line, which is what a
        stack read while the test runs shows (a hang's dump, a debugger),
        and pytest places the test and cuts its tracebacks by its code, as
        for a test function of a .py file. ``bound`` itself where the
        listing has no such test."""
        function = bound.__func__
        qualname = function.__qualname__
        if qualname not in self.starts:
            return bound
        code = self._stand_ins.get(qualname)
        if code is None:
            first, name = self.starts[qualname]
            namespace = {}
            exec(compile("\n" * (first - 1) + f"def {name}(self): return _compiled_test(self)\n",
                         str(self.listing), "exec"), namespace)
            code = self._stand_ins[qualname] = namespace[name].__code__
        stand_in = types.FunctionType(code, {"__name__": self.module.__name__, "__builtins__": builtins,
                                             "_compiled_test": function})
        stand_in.__qualname__ = qualname
        return types.MethodType(stand_in, bound.__self__)

    def holds_records(self, excinfo):
        tb = excinfo.tb
        while tb is not None and not self.is_record(tb):
            tb = tb.tb_next
        return tb is not None

    def show_listing_in_linecache(self):
        # Anything that looks up the records' file name by itself (pdb,
        # traceback.print_exc) finds this listing, not a file of that
        # relative name in the working directory or on sys.path. An entry
        # without a modification time is never invalidated.
        linecache.cache[self.filename] = (
            sum(map(len, self.lines)), None, self.lines, str(self.listing))

    def is_record(self, tb):
        return tb.tb_frame.f_code.co_filename == self.filename

    def raised_by_assertion(self, excinfo):
        """Whether the failure is a false assertion of the test itself: a bare
        AssertionError whose innermost traceback entry is a record."""
        return excinfo.type is AssertionError and not excinfo.value.args and self.is_record(innermost(excinfo.tb))

    def _where(self, tb):
        """(first line, function name or None for the module body) of the
        listing's code that the record ``tb`` stands for, or ``None``."""
        name = tb.tb_frame.f_code.co_name
        if name.startswith("init "):
            return 1, None
        qualname = name[len(self.prefix):]
        if name.startswith(self.prefix) and qualname in self.starts:
            return self.starts[qualname]
        return None

    def _run_as_listing(self, tb, instance, body):
        """Runs ``body`` (one line, given ``_out``: sys._getframe, then a
        ListingMarker; it may add to it) as code of the listing
        in place of the record ``tb``: inside the function the record stands
        for, from its first line, with ``body`` on the record's line."""
        first, function = self._where(tb)
        line = tb.tb_lineno
        code = self._codes.get((first, function, line, body))
        if code is None:
            if function is None:
                source = "\n" * (line - 1) + body + "\n"
            else:
                head = "\n" * (first - 1) + f"def {function}(self, *, _out):"
                source = head + (f" {body}\n" if line == first else "\n" * (line - first) + f" {body}\n")
            code = self._codes[(first, function, line, body)] = compile(source, str(self.listing), "exec")
        out = [sys._getframe, ListingMarker()]
        if function is None:
            namespace = dict(tb.tb_frame.f_globals, _out=out)
            try:
                exec(code, namespace)
            finally:
                namespace.pop("_out", None)
        else:
            namespace = {}
            exec(code, namespace)
            types.FunctionType(namespace[function].__code__, tb.tb_frame.f_globals)(instance, _out=out)
        return out

    def _listing_frame(self, tb, instance):
        """A frame of the listing for the record ``tb``; the code catches it
        by calling sys._getframe, then drops every name of its own."""
        return self._run_as_listing(tb, instance, "_out.append(_out[0]()); del _out")[-1]

    def _listing_entry(self, tb, instance):
        """A traceback entry of the listing for the record ``tb``, made by
        raising on the record's line: where tracebacks cannot be built, the
        one way to have such an entry, though it cannot lead on to others."""
        try:
            self._run_as_listing(tb, instance, "raise _out[1]")
        except ListingMarker:
            return innermost(sys.exc_info()[2])

    def shown(self, excinfo, instance=None, module_body=False):
        """``excinfo`` with every record replaced by a frame of the listing,
        and without the frames of the tests' stand-ins; for an error in the
        module body, from its record on. The exception carries the shown
        traceback too (a debugger may take it from there)."""
        entries = []
        tb = excinfo.tb
        while tb is not None:
            if tb.tb_frame.f_code not in self._stand_ins.values():
                entries.append(tb)
            tb = tb.tb_next
        if module_body or sys.version_info < (3, 7):
            first = next((i for i, tb in enumerate(entries) if self.is_record(tb)), 0)
            entries = entries[first:]
        if sys.version_info < (3, 7):
            # Tracebacks cannot be built before 3.7. A record that ends the
            # traceback (a false assertion, a failing statement of the module
            # body itself) is shown alone, as an entry of the listing; any
            # other stays, its line shown through the linecache entry.
            shown = entries[0] if entries else None
            if entries and self.is_record(entries[-1]) and self._where(entries[-1]):
                shown = self._listing_entry(entries[-1], instance)
            return pytest.ExceptionInfo.from_exc_info((excinfo.type, excinfo.value.with_traceback(shown), shown))
        shown = None
        for tb in reversed(entries):
            frame = self._listing_frame(tb, instance) if self.is_record(tb) and self._where(tb) else None
            if frame is None:
                shown = types.TracebackType(shown, tb.tb_frame, tb.tb_lasti, tb.tb_lineno)
            else:
                # No instruction offset: the line is the record's, never one
                # derived from the positions of the code that made the frame.
                shown = types.TracebackType(shown, frame, -1, tb.tb_lineno)
        return pytest.ExceptionInfo.from_exc_info((excinfo.type, excinfo.value.with_traceback(shown), shown))

    # ---- values of a failed assertion, from a re-run -------------------------------

    def with_values(self, shown, item, excinfo):
        """``shown`` (a false assertion of ``item``'s test) with the values
        that a re-run of the test from the listing shows, or a note that it
        could not."""
        values = None
        if item.config.getoption("assertmode", "rewrite") == "rewrite":
            failure = item.rerun_failure(innermost(excinfo.tb).tb_lineno, AssertionError)
            if failure is not None and innermost(failure.__traceback__) is failure.__traceback__:
                values = str(failure) or None
        if values is None:
            message = ("(values not shown: the failure could not be reproduced by a re-run of this test "
                       "from its listing)")
        else:
            message = (f"{values}\n(values from a re-run of this test from its listing, interpreted; "
                       f"the compiled test's AssertionError carries none)")
        return pytest.ExceptionInfo.from_exc_info((AssertionError, AssertionError(message).with_traceback(shown.tb),
                                                   shown.tb))


def named(code, filename):
    """``code`` and the code nested in it, as compiled from ``filename``."""
    consts = tuple(named(const, filename) if isinstance(const, types.CodeType) else const
                   for const in code.co_consts)
    if hasattr(code, "replace"):
        return code.replace(co_filename=filename, co_consts=consts)
    # Python 3.6 and 3.7: the constructor, whose arguments are these.
    return types.CodeType(code.co_argcount, code.co_kwonlyargcount, code.co_nlocals, code.co_stacksize,
                          code.co_flags, code.co_code, consts, code.co_names, code.co_varnames, filename,
                          code.co_name, code.co_firstlineno, code.co_lnotab, code.co_freevars, code.co_cellvars)


class ListingMarker(Exception):
    """Raised on a record's line to make a traceback entry of the listing."""


def innermost(tb: types.TracebackType) -> types.TracebackType:
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


class Rerun:
    """A copy of a listing imported under a name of its own, so that pytest
    rewrites its assertions as it rewrites a test module's, and run against
    the compiled module's namespace as it is at the time of the re-run."""

    _known = {}

    @classmethod
    def of(cls, records, config):
        rerun = cls._known.get(records.listing)
        if rerun is None:
            rerun = cls._known[records.listing] = cls(records, config)
        return rerun

    def __init__(self, records, config):
        self.records = records
        self.module = None
        self.error = None
        self.name = f"{records.listing.stem}__rerun_from_listing"
        config.add_cleanup(lambda: self._known.pop(records.listing, None))
        # In pytest's cache, where there is one, the copy and its rewritten,
        # compiled form last from one run to the next.
        cache = getattr(config, "cache", None)
        if cache is not None:
            self.where = str(cache.mkdir("compiled-listings"))
        else:
            self.where = tempfile.mkdtemp(prefix="compiled-listing-")
            config.add_cleanup(lambda: shutil.rmtree(self.where, ignore_errors=True))

    def _load(self):
        path = Path(self.where) / f"{self.name}.py"
        source = self.records.listing.read_bytes()
        if not path.is_file() or path.read_bytes() != source:
            # Whole or not at all: other processes (pytest-xdist's workers)
            # may read it meanwhile.
            fd, temporary = tempfile.mkstemp(dir=self.where, suffix=".tmp")
            with os.fdopen(fd, "wb") as out:
                out.write(source)
            os.replace(temporary, str(path))
        pytest.register_assert_rewrite(self.name)
        sys.path.insert(0, self.where)
        try:
            module = importlib.import_module(self.name)
        finally:
            sys.path.remove(self.where)
        self.own = {name for name, value in vars(module).items()
                    if isinstance(value, type) and value.__module__ == module.__name__}
        # Its frames name the listing, not this copy (where a debugger shows them).
        for cls in self.own:
            for function in vars(vars(module)[cls]).values():
                if isinstance(function, types.FunctionType):
                    function.__code__ = named(function.__code__, str(self.records.listing))
        return module

    def _use_namespace_of(self, compiled):
        # The globals the tests read are those of the compiled module, which
        # the user's fixtures or conftest may have changed since import. The
        # names that rewriting adds are no identifiers and stay.
        ns, source = self.module.__dict__, compiled.__dict__

        def shared(name):
            return name.isidentifier() and not name.startswith("__") and name not in self.own

        for name in [n for n in ns if shared(n) and n not in source]:
            del ns[name]
        for name, value in source.items():
            if shared(name):
                ns[name] = value

    def failure(self, instance, cls_name, method_name, line, error):
        """The exception of a re-run of the test (given the compiled test's
        ``instance`` as ``self``) that fails as the compiled test did, with
        an ``error`` (that very type) at ``line`` of the test, its traceback
        starting at the test's frame; else ``None``."""
        if self.module is None:
            if self.error is not None:
                return None
            try:
                self.module = self._load()
            except Exception as err:
                self.error = err
                return None
        compiled = self.records.module
        self._use_namespace_of(compiled)
        try:
            test = vars(getattr(self.module, cls_name))[method_name]
        except (AttributeError, KeyError):
            return None
        try:
            test(instance)
        except Exception as exc:
            tb = exc.__traceback__
            while tb is not None and tb.tb_frame.f_code is not test.__code__:
                tb = tb.tb_next
            if type(exc) is error and tb is not None and tb.tb_lineno == line:
                return exc.with_traceback(tb)
        return None
