"""The ```python blocks of the README and of the guide's Python chapter run
against the simulated instrument, so that they cannot drift from the
package. A block that names the hardware port "/dev/ttyUSB0" runs with a
simulator's port in its place, as the README tells a reader to try it; a
block of ">>>" lines runs as a doctest, its printed output compared."""

import doctest
import logging
import re
import warnings

import pytest

import veltor
from conftest import SOURCE_DIR

# Imported here, where PyMeasure's own imports may warn of deprecations of
# the interpreter's; the examples run with deprecations as errors.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import veltor.pymeasure  # noqa: F401
    except ImportError:
        pymeasure_missing = True
    else:
        pymeasure_missing = False

FILES = ["README.md", "docs/python.md"]
HARDWARE_PORT = '"/dev/ttyUSB0"'
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def blocks():
    for name in FILES:
        text = (SOURCE_DIR / name).read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start()) + 2
            yield pytest.param(name, line, match.group(1), id=f"{name}:{line}")


def run_doctest(source, where):
    test = doctest.DocTestParser().get_doctest(source, {}, where, where, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)


def run_script(source, where):
    namespace = {"__name__": "__main__"}  # as a script run on its own
    try:
        exec(compile(source, where, "exec"), namespace)
    finally:
        # A device the block left open goes before the simulator it talks to.
        for value in namespace.values():
            if isinstance(value, veltor.Device):
                value.close()


@pytest.mark.parametrize("name, line, source", blocks())
def test_example_runs(name, line, source, tmp_path, monkeypatch, caplog):
    if "veltor.pymeasure" in source and pymeasure_missing:
        pytest.skip("PyMeasure is missing: apt-get install python3-pymeasure")
    where = f"{name}, the block at line {line}"
    monkeypatch.chdir(tmp_path)  # for the files an example writes
    with veltor.Simulator() as sim, warnings.catch_warnings():
        # A call the package has deprecated is drift too.
        warnings.simplefilter("error", DeprecationWarning)
        source = source.replace(HARDWARE_PORT, repr(sim.port))
        if source.lstrip().startswith(">>>"):
            run_doctest(source, where)
        else:
            run_script(source, where)
    # A PyMeasure Worker logs a procedure's failure instead of raising it.
    assert [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR] == []


def test_every_file_has_examples():
    assert {param.values[0] for param in blocks()} == set(FILES)
