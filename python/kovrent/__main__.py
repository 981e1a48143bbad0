"""python3 -m kovrent report ...: a night's report page (kovrent.report)."""

import sys

from . import report

COMMANDS = {"report": report.main}

if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] not in COMMANDS:
        print("usage: python3 -m kovrent report NAME... [-r N1 N2] [-d DIR] [options of kovrent]", file=sys.stderr)
        sys.exit(2)
    try:
        sys.exit(COMMANDS[sys.argv[1]](sys.argv[2:]))
    except KeyboardInterrupt:  # before the report could take it
        sys.exit(130)
