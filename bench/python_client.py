"""The same exchange through the veltor Python package.

    /usr/bin/python3 bench/python_client.py PATH N [--untimed]

Runs Device.outputs_on() (the Pythonic layer: its hold, the command and
the check of its result) N times after a tenth as many to warm up, then
the low layer's CVeltor.CmdEnableOutputs() the same way, and prints
"python median_us M p99_us P n N low_median_us L" like
veltor-bench-exchange. With --untimed it runs Device.outputs_on() N and a
tenth times, without clocks or lists, for counting instructions. Needs the
package on PYTHONPATH.
"""
import sys
import time

import veltor


def timed(command, n):
    clock = time.perf_counter
    times = []
    for i in range(n + n // 10):
        start = clock()
        command()
        if i >= n // 10:
            times.append((clock() - start) * 1e6)
    times.sort()
    return times


def main() -> int:
    path, n = sys.argv[1], int(sys.argv[2])
    if sys.argv[3:] == ["--untimed"]:
        with veltor.Device(path) as device:
            for _ in range(n + n // 10):
                device.outputs_on()
        return 0
    with veltor.Device(path) as device:
        times = timed(device.outputs_on, n)
        low = device.cveltor.CmdEnableOutputs
        low_times = timed(lambda: low() or sys.exit("CmdEnableOutputs failed"), n)
    print(f"python median_us {times[len(times) // 2]:.2f} "
          f"p99_us {times[min(len(times) - 1, len(times) * 99 // 100)]:.2f} n {len(times)} "
          f"low_median_us {low_times[len(low_times) // 2]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
