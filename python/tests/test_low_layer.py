"""The exported classes under their C++ names, as a C++ host uses them."""

import pytest

import veltor
from veltor import CSerDev


@pytest.fixture
def low(device):
    return device.cveltor


# Each mode's intervals at the 200 MHz clock, in counts.
RANGES = [
    (veltor.CDelayDurate, "GetDelayRange", (4, 4294967295)),
    (veltor.CDelayDurate, "GetDurationRange", (1539, 4294967295)),
    (veltor.CDelayDurate, "GetSweepRange", (0, 4294967295)),
    (veltor.CDynDelayDurate, "GetDurationRange", (1539, 4294967295)),
    (veltor.CValidate, "GetDelayRange", (512, 4294967295)),
    (veltor.CValidate, "GetDurationRange", (1536, 4294967295)),
    (veltor.CUpDown, "GetDelayRange", (-16777215, 16777215)),
    (veltor.CUpDown, "GetDurationRange", (1600, 4294967295)),
    (veltor.CClock, "GetDelayRange", (128, 10485720)),
    (veltor.CClock, "GetDurationRange", (128, 10485720)),
]


@pytest.mark.parametrize("cls, method, counts", RANGES)
def test_ranges(low, cls, method, counts):
    minimum, maximum = getattr(cls(), method)(low, "A")
    assert (minimum * 200e6, maximum * 200e6) == pytest.approx(counts)


def test_a_session_as_in_cpp(low, sim):
    pulse = veltor.CDelayDurate()
    pulse.m_Dly.dDelay = 1.5e-6
    channel = low.GetChannel("A")
    assert channel.SetTimingMode(pulse) is None
    assert channel.SetChannelLogic("inA = in1 & not in2;")
    assert low.CmdUpdateAll() and low.GetLastError() == ""
    assert low.GetLastOutcome() == CSerDev.kSuccess
    assert sim.state()["A"].delay_counts == 300
    assert sim.state()["A"].active_logic_code == channel.GetLogicCode() == b"\xc0\x11"
    assert channel.SetTimingMode(None) is pulse
    assert low.GetChannel("Z") is None
    assert low.DescribeOutcome(CSerDev.kNegative) == "refused by the instrument"
    assert [CSerDev.BaudRate(CSerDev.kBaud2400), CSerDev.BaudRate(CSerDev.kBaud115200)] == [
        2400, 115200]


def test_logic_errors_as_in_cpp(low):
    channel = low.GetChannel("B")
    assert not channel.SetChannelLogic("inB = in1 &")
    assert not channel.CompileLogic()
    message, line = channel.GetLogicError()
    assert (line, message.startswith("Error--")) == (1, True)
    assert channel.GetLogicCode() == b""
    assert not low.SetGlobalLogic("x = in1;\ny = (in2;")
    assert low.GetGlobalLogicError()[1] == 2
    assert low.GetGlobalLogic() == "x = in1;\ny = (in2;"


def test_connecting_by_port_number():
    device = veltor.CVeltor()
    assert device.InitConnection(250, CSerDev.kBaud115200) == -1
    assert "/dev/ttyS249" in device.GetLastError()


def test_records_copy_by_value_and_text_fields():
    mode = veltor.CCount()
    mode.m_Counter.szText = "pulses of A"
    copy = mode.m_Counter.__copy__()
    copy.szText = "other"
    assert (mode.m_Counter.szText, copy.szText) == ("pulses of A", "other")
    with pytest.raises(ValueError, match="4095 bytes"):
        mode.m_Counter.szText = "x" * 4096
    record = veltor.SDlyProp()
    record.dDelay = 5e-6
    mode = veltor.CDelayDurate()
    mode.m_Dly = record
    record.dDelay = 6e-6
    assert mode.m_Dly.dDelay == 5e-6


def test_count_decodes_a_reported_count(low):
    count = veltor.Count()
    buffer = bytes([0, 0, 0, 3, 0, 0, 0x40, 0x0D, 0x03, 0])  # 200000 counts
    assert count.ParseQuery(buffer, low, "A")
    assert count.measured == pytest.approx(1e-3)
    assert not count.ParseQuery(bytes(10), low, "A")  # not the counting mode's code


def test_setup_objects(low, demo_path):
    loaded = veltor.setup.Load(str(demo_path))
    assert veltor.setup.ModeName(loaded.channels[2].mode) == "up-down"
    assert veltor.setup.Parse(veltor.setup.Format(loaded)).channels[7].logic == "inH = not run;"
    given = veltor.Clock(delay=2e-6)
    loaded.channels[0].mode = given  # a copy: the setup owns its modes
    given.delay = 3e-6
    assert loaded.channels[0].mode.m_Clock.dDelay == 2e-6
    with pytest.raises(veltor.setup.Error, match="unknown mode") as caught:
        veltor.setup.Parse('{"channels": {"A": {"mode": "pulse"}}}')
    assert caught.value.path == "channels.A.mode"


def test_commands_check_what_they_are_called_on(low):
    # The commands read the C++ object straight from the instance: anything
    # but a device or channel (or a subclass of one) must be refused.
    class Subclass(veltor.CVeltor):
        pass

    assert Subclass().CmdEnableOutputs() is False  # not connected: refused, not crashed
    for command, wrong in [(veltor.CVeltor.CmdEnableOutputs, low.GetChannel("A")),
                           (veltor.CChannel.CmdEnable, low),
                           (veltor.CChannel.CmdQuery, object())]:
        with pytest.raises(TypeError):
            command(wrong)
    with pytest.raises(TypeError):
        low.CmdEnableOutputs(1)
