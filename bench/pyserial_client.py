"""The usual alternative: the enable-outputs exchange from Python with pyserial.

    /usr/bin/python3 bench/pyserial_client.py PATH N

Prints "pyserial median_us M p99_us P n N" like veltor-bench-exchange.
"""
import sys
import time

import serial

# 25 D8 01 80 00 checksum: the enable-outputs request, framed once.
REQUEST = bytes.fromhex(sys.argv[3]) if len(sys.argv) > 3 else None


def main() -> int:
    path, n = sys.argv[1], int(sys.argv[2])
    port = serial.Serial(path, 115200, timeout=1)
    request = REQUEST
    times = []
    for i in range(n + n // 10):
        start = time.perf_counter()
        port.write(request)
        header = port.read(2)
        if len(header) != 2:
            return 1
        if len(port.read(header[1])) != header[1]:
            return 1
        if i >= n // 10:
            times.append((time.perf_counter() - start) * 1e6)
    times.sort()
    print(f"pyserial median_us {times[len(times) // 2]:.2f} "
          f"p99_us {times[min(len(times) - 1, len(times) * 99 // 100)]:.2f} n {len(times)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
