"""A script against the simulated instrument: set two channels up, send them,
watch delay reports and see a refusal as an exception.

    PYTHONPATH=build/python /usr/bin/python3 examples/python_demo.py
"""

import veltor

with veltor.Simulator() as sim, veltor.Device(sim.port) as device:
    device.global_logic = "run = in1 & not in2;"
    device["A"].mode = veltor.DelayDuration(delay=1.5e-6, duration=10e-6)
    device["A"].logic = "inA = run;"
    device["B"].mode = veltor.Clock(delay=1e-6, duration=2e-6)
    device.update_all()
    for letter in "AB":
        held = sim.state()[letter]
        print(f"{letter}: {held.mode_name}, delay {held.delay_seconds * 1e6:g} us")

    # Called on the library's thread: one print of one string, so that its
    # line is never cut by another thread's.
    device.on_report = lambda report: print(f"report: {report}")
    # The two reports sent, each awaited for at most two seconds.
    with device.reports(timeout=2.0, count=2) as reports:
        sim.send_report("A", 1.5e-6)  # seconds at the channel's clock
        sim.send_report("A", counts=301)
        print("delays:", [f"{r.seconds * 1e6:g} us" for r in reports])

    sim.fault("negative", count=5)  # every attempt of the next command
    try:
        device["A"].enable()
    except veltor.RefusedError as error:
        print(f"refused: {error}")
