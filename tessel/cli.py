"""The ``tessel`` command."""

import argparse
import datetime
import os
import sys
from importlib import resources


def _example(name):
    return resources.files("tessel").joinpath("examples", name)


def _demo(out_dir):
    from .linefill import LineFill

    os.makedirs(out_dir, exist_ok=True)
    env = {
        "customer": "Ada Lovelace",
        "order_id": "A-1042",
        "date": datetime.date(2026, 12, 7),
        "items": ["analytical engine", "punched cards", "brass gears"],
        "total": 12345.5,
        "sender": "The tessel team",
    }
    text, failed = LineFill()(_example("letter.txt").read_text(encoding="utf-8"), env)
    path = os.path.join(out_dir, "letter.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    print(path)
    return 1 if failed else 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="tessel", description="Fill text, xlsx and docx templates.")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="fill the bundled example templates")
    demo.add_argument("dir", nargs="?", default="tessel-demo", help="folder for the filled files")
    args = parser.parse_args(argv)
    if args.command == "demo":
        return _demo(args.dir)
    return 2


if __name__ == "__main__":
    sys.exit(main())
