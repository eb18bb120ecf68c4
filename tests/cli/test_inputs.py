"""The two input files of velk_vm through the real binary: the channel
configuration (TOML) and the variable bindings (JSON), their error lines and
the order in which they are read."""

import pytest

from conftest import EMPTY_PROGRAM, ONE_CHANNEL, write


@pytest.fixture
def program(tmp_path):
    return write(tmp_path / "p.velk", EMPTY_PROGRAM)


@pytest.mark.parametrize("toml, channels", [
    ("channels = {}\n", []),
    ('[channels]\n"a.b c" = [1, 2]\n', ["a.b c"]),
    ("[channels.q0]\nsample_rate = 0x10\nenable_iir = true\n[channels.q0.extra]\nx = 1\n", ["q0"]),
    ("channels.x.sample_rate = 5\ntitle = 1979-05-27\n", ["x"]),
    ("\ufeff[channels]\r\n'' = [1, 2, false, 'ignored']\r\n", [""]),
])
def test_accepted_configurations_name_their_channels(run, tmp_path, program, toml, channels):
    write(tmp_path / "c.toml", toml)
    r = run("-i", program, "-c", "c.toml", "-o", "out")
    assert r.status == 0, r.stderr
    assert r.stdout == ""
    warnings = sorted(r.stderr.splitlines())
    assert warnings == sorted(f"Warning: channel '{name}' not found in VELK" for name in channels)
    assert (tmp_path / "out").is_dir()


@pytest.mark.parametrize("toml, line", [
    ("[channels.a]\nsample_rate = -5\n",
     'TomlError { message: "invalid value: integer `-5`, expected u64", key: channels.a.sample_rate, '
     'line: 2, column: 15, text: "sample_rate = -5" }'),
    ("[channels]\na = [1]\n",
     'TomlError { message: "invalid length 1, expected struct ChannelConfig with 3 elements", '
     'key: channels.a, line: 2, column: 5, text: "a = [1]" }'),
    ('[channels."x y"]\nsample_rate = 1\nenable_iir = "true"\n',
     'TomlError { message: "invalid type: string \\"true\\", expected a boolean", '
     'key: channels."x y".enable_iir, line: 3, column: 14, text: "enable_iir = \\"true\\"" }'),
    ("# nothing\n", 'TomlError { message: "missing field `channels`" }'),
])
def test_shaping_errors_are_one_line(run, tmp_path, program, toml, line):
    write(tmp_path / "c.toml", toml)
    r = run("-i", program, "-c", "c.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr == f"Error: {line}\n"
    assert r.stdout == ""
    assert not (tmp_path / "out").exists()


def test_toml_syntax_error_names_line_and_column(run, tmp_path, program):
    write(tmp_path / "c.toml", "[channels.a]\nsample_rate = 1\nsample_rate = 2\n")
    r = run("-i", program, "-c", "c.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr.startswith('Error: TomlError { message: "')
    assert ', line: 3, column: ' in r.stderr
    assert r.stderr.endswith('text: "sample_rate = 2" }\n')
    assert r.stderr.count("\n") == 1


@pytest.mark.parametrize("make, line", [
    (lambda d: d / "missing.toml",
     'Os { code: 2, kind: NotFound, message: "No such file or directory", path: "%s" }'),
    (lambda d: write(d / "c.toml", b"[channels.\xff]\n"),
     'Custom { kind: InvalidData, error: "stream did not contain valid UTF-8", path: "%s" }'),
])
def test_unreadable_configuration_is_an_io_error(run, tmp_path, program, make, line):
    config = make(tmp_path)
    r = run("-i", program, "-c", config, "-o", "out")
    assert r.status == 1
    assert r.stderr == f"Error: {line % config}\n"


@pytest.mark.parametrize("vars_bytes, message", [
    (None, "Failed to read vars file: v.json: No such file or directory (os error 2)"),
    (b"", "Failed to parse vars JSON: EOF while parsing a value at line 1 column 0"),
    (b'{"a": 1} x', "Failed to parse vars JSON: trailing characters at line 1 column 10"),
    (b'{"a": "\xc3"}', "Failed to read vars file: stream did not contain valid UTF-8"),
])
def test_vars_failures_are_messages_and_stop_before_output(run, tmp_path, program, vars_bytes, message):
    write(tmp_path / "c.toml", ONE_CHANNEL)
    if vars_bytes is not None:
        write(tmp_path / "v.json", vars_bytes)
    r = run("-i", program, "-c", "c.toml", "-o", "out", "--vars", "v.json")
    assert r.status == 1
    assert r.stdout == ""
    assert r.stderr == f'Error: "{message}"\n'
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("doc", ["{}", "[1]", "null", '{"unknown": 1, "x": null}', ' "s" \n'])
def test_vars_that_bind_nothing_still_report_loading(run, tmp_path, program, doc):
    write(tmp_path / "c.toml", "channels = {}\n")
    write(tmp_path / "sub" / "v.json", doc)
    r = run("-i", program, "-c", "c.toml", "-o", "out", "--vars", "sub/v.json")
    assert r.status == 0, r.stderr
    assert r.stdout == "Loaded variable bindings from: sub/v.json\n"
    assert r.stderr == ""


def test_configuration_error_comes_before_vars_error(run, tmp_path, program):
    write(tmp_path / "c.toml", "channels = 5\n")
    r = run("-i", program, "-c", "c.toml", "-o", "out", "--vars", "missing.json")
    assert r.status == 1
    assert r.stderr.startswith('Error: TomlError { message: "invalid type: integer `5`, expected a map"')
