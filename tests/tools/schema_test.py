"""The setup files' JSON Schema (docs/setup.schema.json) against the files
and the reader: every example setup and the demo's are valid, and the
schema and `veltor check` take and refuse the same files.

Run by ctest: schema_test.py TOOL SOURCE_DIR. Needs Debian's
python3-jsonschema (scripts/setup.sh installs it)."""

import json
import pathlib
import subprocess
import sys
import tempfile
import unittest

import jsonschema

TOOL = sys.argv[1] if len(sys.argv) > 1 else "veltor"
SOURCE = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else ".")
SCHEMA = json.loads((SOURCE / "docs" / "setup.schema.json").read_text(encoding="utf-8"))
VALIDATOR = jsonschema.Draft202012Validator(SCHEMA)


def delay(**fields):
    """Channel A in the delay mode; its sweep is off, so that its time is
    read but not checked against an interval."""
    return {"channels": {"A": dict({"mode": "delay"}, **fields)}}


def sweep_time(value):
    return delay(sweep={"enabled": False, "time": value})


# Files the reader takes (True) or refuses (False); the schema must agree.
# None of them has a time outside its interval or a logic text that fails,
# so the check fails only where the reader refuses the file.
AGREEMENT = [
    (sweep_time("1.5 us"), True),
    (sweep_time("1.5\u00b5s"), True),
    (sweep_time("1.5\u03bcs"), True),
    (sweep_time("10 ns"), True),
    (sweep_time("1ms"), True),
    (sweep_time("2 s"), True),
    (sweep_time(" -5e-1 ms "), True),
    (sweep_time(".5 us"), True),
    (sweep_time("5."), True),
    (sweep_time("3"), True),
    (sweep_time(2.5e-6), True),
    (sweep_time("1.5 uss"), False),
    (sweep_time("1.5 MS"), False),
    (sweep_time("1,5 us"), False),
    (sweep_time("us"), False),
    (sweep_time("1e"), False),
    (sweep_time("0x10"), False),
    (sweep_time(""), False),
    (sweep_time(True), False),
    (delay(delay="20 us", duration="10 ms"), True),
    (delay(dealy=1e-6), False),
    (delay(average=3), False),
    ({"channels": {"A": {"enabled": True, "logic": "inA = in1;"}}}, True),
    ({"channels": {"A": {"enabled": "yes"}}}, False),
    ({"channels": {"A": {"invert": True}}}, False),
    ({"channels": {"a": {}}}, False),
    ({"channels": {"J": {}}}, False),
    ({"channels": {"B": {"mode": "pulse"}}}, False),
    ({"channels": {"C": {"mode": "clock", "delay": "1 us", "sweep": {}}}}, False),
    ({"channels": {"D": {"mode": "toggle", "invert": True, "enabled": False}}}, True),
    ({"channels": {"E": {"mode": "count", "counterMode": 255, "text": "x"}}}, True),
    ({"channels": {"E": {"mode": "count", "counterMode": 256}}}, False),
    ({"channels": {"E": {"mode": "count", "counterMode": 16.0}}}, True),
    ({"channels": {"F": {"mode": "up-down", "scaling": {"first": 2147483648}}}}, False),
    (delay(trigger={"kind": 7, "valueMode": -1}), True),
    (delay(trigger={"kind": "sideways"}), False),
    ({"general": {"outputs": "off", "panel": "locked"}}, True),
    ({"general": {"outputs": True}}, False),
    ({"general": {"panel": "open"}}, False),
    ({"general": {"lockPanel": True, "outputsOff": False}}, True),
    ({"general": {"panel": "locked", "lockPanel": True}}, False),
    ({"general": {"clocks": {"CD": "3.125MHz", "GH": 3}}}, True),
    ({"general": {"clocks": {"CD": 5}}}, False),
    ({"general": {"clocks": {"IJ": 0}}}, False),
    ({"general": {"referenceHz": "10 MHz"}}, False),
    ({"globalLogic": "run = in1;"}, True),
    ({"globalLogic": "run = in1;\u0000"}, False),
    ({"channel": {}}, False),
    ([], False),
]


class Schema(unittest.TestCase):
    def test_is_a_valid_2020_12_schema(self):
        jsonschema.Draft202012Validator.check_schema(SCHEMA)

    def test_every_example_and_the_demo_are_valid(self):
        files = sorted((SOURCE / "examples" / "setups").glob("*.json"))
        self.assertIn("demo.json", [path.name for path in files])
        for path in files:
            with self.subTest(path.name):
                errors = [error.message for error in VALIDATOR.iter_errors(json.loads(path.read_text("utf-8")))]
                self.assertEqual(errors, [])

    def test_schema_and_reader_take_and_refuse_the_same_files(self):
        with tempfile.TemporaryDirectory() as folder:
            path = pathlib.Path(folder) / "setup.json"
            for document, taken in AGREEMENT:
                with self.subTest(json.dumps(document)):
                    path.write_text(json.dumps(document), encoding="utf-8")
                    check = subprocess.run([TOOL, "check", str(path)], capture_output=True, text=True, timeout=30)
                    self.assertEqual(check.returncode == 0, taken, check.stderr)
                    self.assertEqual(VALIDATOR.is_valid(document), taken)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
