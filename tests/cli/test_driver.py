"""The run sequence of velk_vm: command line, steps in order, messages, statuses."""

import pytest

from conftest import EMPTY_PROGRAM, ONE_CHANNEL, write


def test_help_prints_to_stdout_and_exits_zero(run):
    for flag in ("-h", "--help"):
        r = run(flag)
        assert r.status == 0
        assert "VELK bytecode virtual machine" in r.stdout
        assert "--input <INPUT>" in r.stdout
        assert r.stderr == ""


@pytest.mark.parametrize("args", [
    [],
    ["-i", "p.velk", "-c", "c.toml"],
    ["-i", "p.velk", "-c", "c.toml", "-o", "out", "-v"],
    ["-i", "p.velk", "-c", "c.toml", "-o", "out", "--version"],
    ["-i", "p.velk", "--input", "q.velk", "-c", "c.toml", "-o", "out"],
    ["-i", "", "-c", "c.toml", "-o", "out"],
])
def test_usage_errors_exit_two_and_run_nothing(run, tmp_path, args):
    r = run(*args)
    assert r.status == 2
    assert r.stdout == ""
    assert "--help" in r.stderr
    assert not (tmp_path / "out").exists()


def test_missing_options_are_all_named(run):
    r = run()
    for name in ("--input", "--config", "--output"):
        assert name in r.stderr


def test_too_small_program_is_one_error_line(run, tmp_path):
    write(tmp_path / "p.velk", b"0123456789")
    write(tmp_path / "c.toml", ONE_CHANNEL)
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr == 'Error: "File too small"\n'
    assert r.stdout == ""
    assert not (tmp_path / "out").exists()


def test_configuration_is_read_before_the_program(run, tmp_path):
    r = run("-i", "missing.velk", "-c", "missing.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr.startswith("Error: ")
    assert "NotFound" in r.stderr
    assert r.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_missing_program_is_an_io_error(run, tmp_path):
    write(tmp_path / "c.toml", ONE_CHANNEL)
    r = run("-i", "missing.velk", "-c", "c.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr == ('Error: Os { code: 2, kind: NotFound, '
                        'message: "No such file or directory", path: "missing.velk" }\n')


def test_empty_channel_table_creates_nested_output_and_exits_zero(run, tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", "channels = {}\n")
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "a/b/c")
    assert r.status == 0, r.stderr
    assert (tmp_path / "a/b/c").is_dir()
    assert list((tmp_path / "a/b/c").iterdir()) == []
    assert r.stdout == "" and r.stderr == ""


def test_channel_without_module_warns_and_succeeds(run, tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", ONE_CHANNEL)
    (tmp_path / "out").mkdir()
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out")
    assert r.status == 0
    assert r.stderr == "Warning: channel 'ch0' not found in VELK\n"
    assert list((tmp_path / "out").iterdir()) == []


def test_output_that_is_a_file_is_an_io_error(run, tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", ONE_CHANNEL)
    write(tmp_path / "out", "not a directory")
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out")
    assert r.status == 1
    assert r.stderr.startswith("Error: Os { code: 17, kind: AlreadyExists")
    assert "Warning" not in r.stderr


def test_output_below_a_file_is_an_io_error(run, tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", ONE_CHANNEL)
    write(tmp_path / "file", "x")
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "file/sub")
    assert r.status == 1
    assert r.stderr.startswith("Error: Os { code: 20, kind: NotADirectory")


def test_vars_success_line_is_printed_even_when_nothing_binds(run, tmp_path):
    write(tmp_path / "p.velk", EMPTY_PROGRAM)
    write(tmp_path / "c.toml", "channels = {}\n")
    write(tmp_path / "v.json", '{"unknown": 1}')
    r = run("-i", "p.velk", "-c", "c.toml", "-o", "out", "--vars", "v.json")
    assert r.status == 0, r.stderr
    assert r.stdout == "Loaded variable bindings from: v.json\n"
