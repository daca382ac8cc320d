"""Peak resident size of one clash_detection call as a host sees it, for W5.

    python bench/host_rss.py MODEL_A MODEL_B

Run in a process of its own with orvex importable. Reads both texts, resets the kernel's
peak mark (/proc/self/clear_refs), calls clash_detection once and prints one JSON
object: resident bytes with the texts held, the peak during the call, and the texts'
size in bytes.
"""

import json
import sys

import orvex


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def main():
    with open(sys.argv[1]) as f:
        text_a = f.read()
    with open(sys.argv[2]) as f:
        text_b = f.read()
    # Reading decodes through a temporary buffer: start the peak after it is gone.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    held = status("VmRSS")
    orvex.clash_detection(text_a, text_b)
    print(json.dumps({"rss_held": held, "rss_peak": status("VmHWM"),
                      "text_bytes": len(text_a.encode()) + len(text_b.encode())}))


if __name__ == "__main__":
    main()
