"""zaradu.compiler: loading, assembly and compile.

The collaborators of both functions are replaced through the module namespace
(monkeypatch.setattr on the module), which the functions consult at each call.
"""

import os
import sys
import types

import pytest

try:
    import zaradu.macro  # noqa: F401
except ImportError:
    # zaradu.macro not built yet: a pass-through stand-in, so that the
    # compiler's import of it succeeds.  Every test below replaces both names.
    _fake = types.ModuleType("zaradu.macro")

    def extend_macro(ravex, lib, env=None):
        yield from ravex

    def reduceVirtualZ(ravex, lib):
        yield from ravex

    _fake.extend_macro, _fake.reduceVirtualZ = extend_macro, reduceVirtualZ
    sys.modules["zaradu.macro"] = _fake

import zaradu.compiler as comp
from zaradu.base import Context
from zaradu.config import Config
from zaradu.library import Library
from zaradu.libs import std

COMPILE_DOC = """
    Compile a ravex program.

    Args:
        prog (str | list): program to compile
        cfg (Config): config object holding all gate parameters
        lib (Library): library to use
        context (dict): context used in assembly
    
    Options: 
        qasm_only = True: only compile qasm to ravex
        no_virtual_z = True: keep P gates as original form.
        no_assembly = True: return simplified ravex.
    """


# ---------------------------------------------------------------- loading

def test_import_binds_names_in_order_and_reimport_gives_same_module():
    import typing
    import zaradu.arch, zaradu.assembly, zaradu.base, zaradu.library, zaradu.utils
    expected = {
        "Literal": typing.Literal, "Optional": typing.Optional, "Sequence": typing.Sequence,
        "Union": typing.Union, "get_arch": zaradu.arch.get_arch,
        "assembly_align_left": zaradu.assembly.assembly_align_left,
        "assembly_align_right": zaradu.assembly.assembly_align_right,
        "call_opaque": zaradu.assembly.call_opaque, "Context": Context,
        "create_context": zaradu.base.create_context, "getConfig": zaradu.base.getConfig,
        "Config": Config, "Library": Library, "libraries": zaradu.library.libraries, "std": std,
        "extend_macro": sys.modules["zaradu.macro"].extend_macro,
        "reduceVirtualZ": sys.modules["zaradu.macro"].reduceVirtualZ,
        "mapping_qubits": zaradu.utils.mapping_qubits,
    }
    ns = vars(comp)
    names = [n for n in ns if n in expected or n in ("assembly", "compile", "__test__")]
    assert names == list(expected) + ["assembly", "compile", "__test__"]
    for name, obj in expected.items():
        assert ns[name] is obj, name
    assert comp.__test__ == {} and ns["__builtins__"] is not None
    assert sys.modules["zaradu.compiler"] is comp

    saved = sys.modules.pop("zaradu.compiler")
    try:
        import zaradu.compiler as again
        assert again is comp and again.compile is comp.compile
    finally:
        sys.modules["zaradu.compiler"] = saved


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    r, w = os.pipe()
    code = f"""if 1:
        import os
        try:
            import zaradu.compiler
            msg = "loaded"
        except ImportError as e:
            msg = str(e)
        os.write({w}, msg.encode())
    """
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)
        os.close(w)
    with os.fdopen(r) as f:
        assert f.read() == ("Interpreter change detected - this module can only be loaded "
                            "into one interpreter per process.")


FAILED_LOAD = r"""
import sys, traceback, types
try:
    import zaradu.macro
except ImportError:
    fake = types.ModuleType("zaradu.macro")
    fake.extend_macro = fake.reduceVirtualZ = lambda *a: iter(())
    sys.modules["zaradu.macro"] = fake
sys.modules["zaradu.utils"] = None          # makes the last import of the load fail
try:
    import zaradu.compiler
except ImportError as e:
    print(type(e).__name__, "zaradu.utils" in str(e))
    print(any(f.name == "init zaradu.compiler" for f in traceback.extract_tb(e.__traceback__)))
del sys.modules["zaradu.utils"]
import zaradu.compiler as c
print(sorted(n for n in ("mapping_qubits", "assembly", "compile", "__test__") if hasattr(c, n)))
"""


def test_failed_load_reports_the_error_and_a_later_import_starts_again():
    import subprocess
    out = subprocess.run([sys.executable, "-c", FAILED_LOAD], capture_output=True, text=True,
                         env=os.environ, check=True).stdout.splitlines()
    assert out == ["ModuleNotFoundError True", "True", "['__test__', 'assembly', 'compile', 'mapping_qubits']"]


# ---------------------------------------------------------------- function objects

@pytest.mark.parametrize("fn, attr, expected", [
    ("assembly", "__module__", "zaradu.compiler"),
    ("assembly", "__name__", "assembly"),
    ("assembly", "__qualname__", "assembly"),
    ("assembly", "__doc__", None),
    ("assembly", "__kwdefaults__", None),
    ("assembly", "__annotations__", {"cfg": "Optional[Config]", "lib": "Library",
                                     "ctx": "Optional[Context]",
                                     "align": "Literal['left', 'right']"}),
    ("compile", "__module__", "zaradu.compiler"),
    ("compile", "__name__", "compile"),
    ("compile", "__qualname__", "compile"),
    ("compile", "__doc__", COMPILE_DOC),
    ("compile", "__kwdefaults__", None),
    ("compile", "__annotations__", {"cfg": "Optional[Config]",
                                    "lib": "Union[Library, Sequence[Library]]",
                                    "context": "Optional[dict]"}),
])
def test_function_attributes(fn, attr, expected):
    value = getattr(getattr(comp, fn), attr)
    assert value == expected
    if attr == "__annotations__":
        assert list(value) == list(expected)


def test_defaults_and_signatures():
    import inspect
    assert comp.assembly.__defaults__ == (None, std, None, "left")
    assert comp.assembly.__defaults__[1] is std
    assert comp.compile.__defaults__ == (None, std, None)
    assert comp.compile.__defaults__[1] is std
    assert str(inspect.signature(comp.assembly)).startswith("(ravex, cfg: 'Optional[Config]' = None, lib:")
    params = inspect.signature(comp.compile).parameters
    assert list(params) == ["prog", "cfg", "lib", "context", "options"]
    assert params["options"].kind is inspect.Parameter.VAR_KEYWORD


@pytest.mark.parametrize("call, message", [
    (lambda: comp.assembly(), "assembly() missing 1 required positional argument: 'ravex'"),
    (lambda: comp.assembly(1, 2, 3, 4, 5, 6),
     "assembly() takes from 1 to 5 positional arguments but 6 were given"),
    (lambda: comp.assembly([], foo=1), "assembly() got an unexpected keyword argument 'foo'"),
    (lambda: comp.assembly([], ravex=[]), "assembly() got multiple values for argument 'ravex'"),
    (lambda: comp.compile(), "compile() missing 1 required positional argument: 'prog'"),
    (lambda: comp.compile(cfg=None), "compile() missing 1 required positional argument: 'prog'"),
    (lambda: comp.compile(1, 2, 3, 4, 5),
     "compile() takes from 1 to 4 positional arguments but 5 were given"),
    (lambda: comp.compile([], None, lib=std, cfg=None),
     "compile() got multiple values for argument 'cfg'"),
    (lambda: comp.compile([], **{1: 2}), "keywords must be strings"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert message in str(info.value)


def test_functions_pickle_by_reference_and_bind_as_methods():
    import copy
    import pickle
    for fn in (comp.assembly, comp.compile):
        assert pickle.loads(pickle.dumps(fn)) is fn and copy.deepcopy(fn) is fn
    holder = type("Holder", (), {"run": comp.assembly})()
    with pytest.raises(ValueError, match="align=x is not supported"):
        holder.run(None, None, None, "x")  # the instance binds to `ravex`
    assert repr(comp.compile).startswith("<function compile at 0x")


def test_defaults_can_be_replaced_like_a_functions():
    saved = comp.assembly.__defaults__
    try:
        comp.assembly.__defaults__ = None
        with pytest.raises(TypeError, match=r"missing 4 required positional arguments: "
                                            r"'cfg', 'lib', 'ctx', and 'align'"):
            comp.assembly([])
        with pytest.raises(TypeError, match="must be set to a tuple"):
            comp.assembly.__defaults__ = [1]
    finally:
        comp.assembly.__defaults__ = saved


# ---------------------------------------------------------------- a recording pipeline

class FakeCode:
    def __init__(self, stmts, arch="fake"):
        self.stmts = stmts
        self.arch = arch


class Pipeline:
    """Replaces every collaborator of compile and assembly, logging calls."""

    def __init__(self, monkeypatch):
        self.log = []
        self.cfg = Config(arch="cfg-arch")
        self.ctx = Context(self.cfg)
        self.arch_result = object()
        log = self.log

        # the calls are logged when made, the statements when drawn
        def extend_macro(prog, lib):
            log.append(("extend_macro", prog, lib))
            return (log.append(("expand", st)) or ("x", st) for st in prog)

        def reduceVirtualZ(code, lib):
            log.append(("reduceVirtualZ", lib))
            return (log.append(("reduce", st)) or ("r", st) for st in code)

        def getConfig(*args, **kw):
            log.append(("getConfig", args, kw))
            return self.cfg

        def create_context(*args, **kw):
            log.append(("create_context", args, kw))
            return self.ctx

        def align(side):
            def assemble(ravex, ctx, lib):
                log.append((side, ctx, lib))
                return FakeCode(list(ravex))
            return assemble

        def libraries(*libs):
            log.append(("libraries", libs))
            return self.combined

        class Arch:
            def assembly_code(arch_self, code, context):
                log.append(("assembly_code", code, context))
                return self.arch_result

        def get_arch(name):
            log.append(("get_arch", name))
            return Arch()

        self.combined = Library("combined")
        for name, fn in [("extend_macro", extend_macro), ("reduceVirtualZ", reduceVirtualZ),
                         ("getConfig", getConfig), ("create_context", create_context),
                         ("assembly_align_left", align("left")),
                         ("assembly_align_right", align("right")),
                         ("libraries", libraries), ("get_arch", get_arch)]:
            monkeypatch.setattr(comp, name, fn)

    def kinds(self):
        return [entry[0] for entry in self.log]


@pytest.fixture
def pipe(monkeypatch):
    return Pipeline(monkeypatch)


PROG = [("H", 0), ("X", 1)]


def test_compile_call_sequence_streams_through_assembly(pipe):
    result = comp.compile(PROG)
    assert result is pipe.arch_result
    # generators are made first; nothing is drawn until the assembly consumes them
    assert pipe.kinds() == ["extend_macro", "reduceVirtualZ", "getConfig", "create_context", "left",
                            "expand", "reduce", "expand", "reduce", "get_arch", "assembly_code"]
    assert pipe.log[0] == ("extend_macro", PROG, std)
    assert pipe.log[1] == ("reduceVirtualZ", std)
    assert pipe.log[3] == ("create_context", (), {"cfg": pipe.cfg})
    assert pipe.log[4] == ("left", pipe.ctx, std)
    assert pipe.log[-2] == ("get_arch", "fake")
    code, context = pipe.log[-1][1:]
    assert code.stmts == [("r", ("x", st)) for st in PROG]
    assert context == {} and type(context) is dict


X = [("x", st) for st in PROG]
R = [("r", st) for st in X]


@pytest.mark.parametrize("options, expected, kinds", [
    ({"no_virtual_z": True}, X, ["extend_macro", "expand", "expand"]),
    ({"no_virtual_z": False}, X, ["extend_macro", "expand", "expand"]),
    ({"no_virtual_z": 1, "no_link": 1}, X, ["extend_macro", "expand", "expand"]),
    ({"no_link": 0}, R, ["extend_macro", "reduceVirtualZ", "expand", "reduce", "expand", "reduce"]),
])
def test_compile_early_returns(pipe, options, expected, kinds):
    assert comp.compile(PROG, **options) == expected
    assert pipe.kinds() == kinds


@pytest.mark.parametrize("options, side", [
    ({}, "left"), ({"ar": 1}, "right"), ({"align_right": False}, "right"), ({"ar": 0}, "right"),
    ({"align_right": 1, "ar": 1}, "right"), ({"qasm_only": True}, "left"), ({"align": "right"}, "left"),
])
def test_compile_alignment(pipe, options, side):
    comp.compile(PROG, **options)
    assert side in pipe.kinds() and ({"left", "right"} - {side}).isdisjoint(pipe.kinds())


def test_compile_arch_general_returns_code_without_code_generation(pipe):
    code = comp.compile(PROG, arch="general", shots=100, signal="iq")
    assert isinstance(code, FakeCode)
    assert (code.arch, code.shots, code.signal) == ("general", 100, "iq")
    assert "get_arch" not in pipe.kinds()


@pytest.mark.parametrize("options", [{"no_assembly": True}, {"no_assembly": 0}])
def test_compile_no_assembly(pipe, options):
    code = comp.compile(PROG, **options)
    assert isinstance(code, FakeCode) and code.arch == "fake"
    assert not hasattr(code, "shots") and "get_arch" not in pipe.kinds()


def test_compile_sets_options_then_generates_for_their_arch(pipe):
    context = {"k": 1}
    assert comp.compile(PROG, context=context, arch="text", shots=5) is pipe.arch_result
    assert pipe.log[-2] == ("get_arch", "text")
    code, given = pipe.log[-1][1:]
    assert given is context and context == {"k": 1}
    assert code.arch == "text" and code.shots == 5 and not hasattr(code, "signal")


def test_compile_context_none_gives_a_fresh_dict_each_call(pipe):
    comp.compile(PROG)
    comp.compile(PROG, context=None)
    first, second = [e[2] for e in pipe.log if e[0] == "assembly_code"]
    assert first == {} and second == {} and first is not second


def test_compile_never_hands_its_context_to_assembly(monkeypatch, pipe):
    calls = []

    def assembly(*args, **kw):
        calls.append((args, kw))
        return FakeCode([], arch="general")

    monkeypatch.setattr(comp, "assembly", assembly)
    cfg = Config()
    comp.compile(PROG, cfg, context={"a": 1}, align_right=None)
    (args, kw), = calls
    assert args[1:] == (cfg, std) and kw == {"align": "right"}
    assert list(args[0]) == R


class SubDict(dict):
    pass


@pytest.mark.parametrize("context, type_name, note", [
    ([], "list", False), (SubDict(), "SubDict", True), ("x", "str", False), (0, "int", False),
])
def test_compile_context_type_check_happens_before_anything(pipe, context, type_name, note):
    with pytest.raises(TypeError) as info:
        comp.compile(PROG, context=context, no_virtual_z=True)
    assert str(info.value) == f"Argument 'context' has incorrect type (expected dict, got {type_name})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == note
    if note:
        assert "subclasses of built-in types are rejected" in notes[0]
    assert pipe.log == []


@pytest.mark.parametrize("make", [lambda a, b: [a, b], lambda a, b: (a, b), lambda a, b: iter([a, b])])
def test_compile_combines_library_sequences_once(pipe, make):
    l1, l2 = Library("l1"), Library("l2")
    comp.compile(PROG, lib=make(l1, l2))
    assert pipe.log[0] == ("libraries", (l1, l2))
    assert pipe.kinds().count("libraries") == 1
    assert pipe.log[1] == ("extend_macro", PROG, pipe.combined)
    assert pipe.log[2] == ("reduceVirtualZ", pipe.combined)
    assert ("left", pipe.ctx, pipe.combined) in pipe.log


def test_compile_library_subclass_is_used_as_is(pipe):
    class MyLib(Library):
        pass
    lib = MyLib()
    comp.compile(PROG, lib=lib, no_virtual_z=1)
    assert pipe.log[0] == ("extend_macro", PROG, lib)


def test_compile_errors_propagate(pipe, monkeypatch):
    with pytest.raises(TypeError, match=r"argument after \* must be an iterable, not int"):
        comp.compile(PROG, lib=5)

    def boom(prog, lib):
        yield from ()
        raise LookupError("bad program")
    monkeypatch.setattr(comp, "extend_macro", boom)
    with pytest.raises(LookupError, match="bad program"):
        comp.compile(PROG)

    monkeypatch.setattr(comp, "extend_macro", lambda prog, lib: iter(prog))
    monkeypatch.setattr(comp, "assembly_align_left", lambda r, c, l: object())
    with pytest.raises(AttributeError):
        comp.compile(PROG)


def test_compile_looks_names_up_at_each_call(pipe, monkeypatch):
    monkeypatch.setattr(comp, "Library", FakeCode)  # nothing is a Library any more
    comp.compile(PROG, lib=[std], no_link=1)
    assert pipe.log[0] == ("libraries", (std,))
    monkeypatch.delattr(comp, "reduceVirtualZ")
    with pytest.raises(NameError, match="name 'reduceVirtualZ' is not defined"):
        comp.compile(PROG, lib=[std])


def test_lib_default_is_bound_at_load(pipe, monkeypatch):
    monkeypatch.setattr(comp, "std", Library("rebound"))
    comp.compile(PROG, no_virtual_z=1)
    comp.assembly([])
    assert pipe.log[0][2] is std
    assert pipe.log[-1][2] is std


# ---------------------------------------------------------------- assembly

def test_assembly_fetches_config_and_context(pipe):
    stream = iter(PROG)
    code = comp.assembly(stream)
    assert pipe.log == [("getConfig", (), {}), ("create_context", (), {"cfg": pipe.cfg}),
                        ("left", pipe.ctx, std)]
    assert code.stmts == PROG


def test_assembly_with_context_still_calls_getconfig(pipe):
    ctx = Context(None)
    comp.assembly(PROG, ctx=ctx, align="right")
    assert pipe.log == [("getConfig", (), {}), ("right", ctx, std)]


def test_assembly_with_config_makes_context_from_it(pipe):
    cfg, lib = Config(), Library("mine")
    comp.assembly(PROG, cfg, lib)
    assert pipe.log == [("create_context", (), {"cfg": cfg}), ("left", pipe.ctx, lib)]


class Weird:
    def __format__(self, spec):
        return f"<weird {spec!r}>"


@pytest.mark.parametrize("align, message", [
    ("middle", "align=middle is not supported."),
    ("center", "align=center is not supported."),
    (3, "align=3 is not supported."),
    (None, "align=None is not supported."),
    ("Left", "align=Left is not supported."),
    (Weird(), "align=<weird ''> is not supported."),
])
def test_assembly_rejects_other_alignments(pipe, align, message):
    with pytest.raises(ValueError) as info:
        comp.assembly(PROG, align=align)
    assert str(info.value) == message
    assert pipe.kinds() == ["getConfig", "create_context"]


# ---------------------------------------------------------------- end to end

def test_compile_end_to_end_with_the_package():
    code = comp.compile([("define", "q", 1), ("H", 0), ("CZ", (0, "q")), ("Measure", 0)])
    assert code.arch == "general" and len(code.statements) >= 3
    text = comp.compile([("Measure", 0)], arch="text", shots=3, context={"note": "x"})
    assert text.splitlines() == ["# note = x", "# shots = 3", "0 Measure 0"]


# ---------------------------------------------------------------- references

def test_no_reference_leaks_across_many_calls():
    import gc

    class Sub(dict):
        pass

    prog = [("Measure", 0), ("CZ", (0, 1))]

    def calls():
        comp.compile(prog)
        comp.compile(prog, arch="text", shots=2, context={})
        comp.compile(prog, lib=[Library(), Library()], no_link=1, anything=3)
        for bad in (lambda: comp.compile(prog, context=Sub()), lambda: comp.assembly(prog, align=3),
                    lambda: comp.compile(), lambda: comp.assembly(prog, x=1),
                    lambda: comp.compile(1, 2, 3, 4, 5), lambda: comp.compile(prog, lib=5)):
            with pytest.raises((TypeError, ValueError)):
                bad()

    for _ in range(200):
        calls()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(3000):
        calls()
    gc.collect()
    # one leaked object per round would be 3000 blocks; allow interpreter noise
    assert sys.getallocatedblocks() - before < 1000
